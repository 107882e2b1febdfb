// oru-platform-sim: a stand-in for the virtualization platform's management
// server and host agents, for integrators and tests of the remote path.
// Runs until SIGTERM or SIGINT, then stops every export it made.
#include "simulator.h"

#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

using namespace oru::sim;

const char kUsage[] =
    "usage: oru-platform-sim [options]\n"
    "  --config FILE          platform description (JSON); see below\n"
    "  --user NAME:PASSWORD   add a user (repeatable)\n"
    "  --host id=ID,address=ADDR[,backupAddress=ADDR,cpuUsage=N,dataStores=A+B,...]\n"
    "                         add a host (repeatable; members as in the config)\n"
    "  --volume uuid=UUID[,dataStore=DS,image=FILE,inUse=true,bitmaps=true|NAME+NAME]\n"
    "                         add a volume (repeatable)\n"
    "  --address ADDR         management server address (overrides the config)\n"
    "  --image-dir DIR        base of relative volume image paths (default: the config's directory)\n"
    "  --task-states LIST     open-mode task states, e.g. RUNNING,RUNNING,FINISHED\n"
    "  --key-task-states LIST access-key creation task states\n"
    "  --log FILE             request journal, one JSON object per line (default: stdout)\n"
    "  --ready-file FILE      written with \"ready\" once every service listens\n"
    "  --cert-out FILE        also write the server certificate (PEM) there\n"
    "  --management-port N    default 443\n"
    "  --agent-port N         default 9753\n"
    "  --qemu-nbd PROGRAM     default: qemu-nbd from PATH\n"
    "  --help\n"
    "\n"
    "Every request, fault rule and reply habit is described in\n"
    "  " ORU_SIM_DOC_DIR "/oru-platform-sim.md.gz (read it with zless),\n"
    "and a complete configuration is\n"
    "  " ORU_SIM_DOC_DIR "/examples/oru-platform-sim.json.\n"
    "See also oru-platform-sim(1).\n";

struct Flags {
    std::vector<std::string> users, hosts, volumes;
    std::string config_path, address, image_dir, task_states, key_task_states, ready_file;
    int management_port = 0, agent_port = 0;
    Options options;
};

int port_value(const char *text) {
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (!*text || *end || value < 1 || value > 65535) throw std::runtime_error(std::string("bad port: ") + text);
    return static_cast<int>(value);
}

Flags parse_flags(int argc, char **argv) {
    static const option longs[] = {
        {"config", required_argument, nullptr, 'c'},       {"address", required_argument, nullptr, 'a'},
        {"image-dir", required_argument, nullptr, 'i'},    {"task-states", required_argument, nullptr, 't'},
        {"key-task-states", required_argument, nullptr, 'k'}, {"log", required_argument, nullptr, 'l'},
        {"ready-file", required_argument, nullptr, 'r'},   {"cert-out", required_argument, nullptr, 'C'},
        {"management-port", required_argument, nullptr, 'm'}, {"agent-port", required_argument, nullptr, 'p'},
        {"qemu-nbd", required_argument, nullptr, 'q'},     {"help", no_argument, nullptr, 'h'},
        {"user", required_argument, nullptr, 'U'},         {"host", required_argument, nullptr, 'H'},
        {"volume", required_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    Flags flags;
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (c) {
        case 'c': flags.config_path = optarg; break;
        case 'a': flags.address = optarg; break;
        case 'i': flags.image_dir = optarg; break;
        case 't': flags.task_states = optarg; break;
        case 'k': flags.key_task_states = optarg; break;
        case 'l': flags.options.log_path = optarg; break;
        case 'r': flags.ready_file = optarg; break;
        case 'C': flags.options.cert_out = optarg; break;
        case 'm': flags.management_port = port_value(optarg); break;
        case 'p': flags.agent_port = port_value(optarg); break;
        case 'q': flags.options.qemu_nbd = optarg; break;
        case 'U': flags.users.push_back(optarg); break;
        case 'H': flags.hosts.push_back(optarg); break;
        case 'V': flags.volumes.push_back(optarg); break;
        case 'h': fputs(kUsage, stdout); exit(0);
        default: throw std::runtime_error("unknown option (see --help)");
        }
    }
    if (optind < argc) throw std::runtime_error(std::string("unexpected argument: ") + argv[optind]);
    return flags;
}

Config build_config(const Flags &flags) {
    nlohmann::json document =
        flags.config_path.empty() ? nlohmann::json::object() : read_config_file(flags.config_path);
    if (!document.is_object()) throw std::runtime_error("the configuration must be a JSON object");
    for (const auto &user : flags.users) {
        size_t colon = user.find(':');
        if (colon == std::string::npos) throw std::runtime_error("--user wants NAME:PASSWORD");
        document["users"].push_back({{"name", user.substr(0, colon)}, {"password", user.substr(colon + 1)}});
    }
    for (const auto &host : flags.hosts) document["hosts"].push_back(flag_object(host));
    for (const auto &volume : flags.volumes) document["volumes"].push_back(flag_object(volume));
    Config config = parse_config(document);
    if (!flags.config_path.empty()) config.image_dir = directory_of(flags.config_path);
    if (!flags.address.empty()) config.address = flags.address;
    if (!flags.image_dir.empty()) config.image_dir = flags.image_dir;
    if (config.image_dir.empty()) config.image_dir = ".";
    if (!flags.task_states.empty()) config.open_mode_states = split_list(flags.task_states);
    if (!flags.key_task_states.empty()) config.access_key_states = split_list(flags.key_task_states);
    if (config.open_mode_states.empty() || config.access_key_states.empty())
        throw std::runtime_error("a task needs at least one state");
    if (flags.management_port) config.management_port = flags.management_port;
    if (flags.agent_port) config.agent_port = flags.agent_port;
    return config;
}

// Written whole under a temporary name, then renamed: a waiting test never
// reads half a file.
void announce_ready(const std::string &path) {
    if (path.empty()) return;
    std::string partial = path + ".partial";
    std::ofstream(partial) << "ready\n";
    std::filesystem::rename(partial, path);
}

} // namespace

int main(int argc, char **argv) {
    Flags flags;
    Config config;
    try {
        flags = parse_flags(argc, argv);
        config = build_config(flags);
    } catch (const std::exception &e) {
        fprintf(stderr, "oru-platform-sim: %s\n", e.what());
        return 2;
    }

    // Signals are taken by sigwait below; every thread inherits this mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    char scratch[] = "/tmp/oru-platform-sim.XXXXXX";
    if (!mkdtemp(scratch)) {
        perror("oru-platform-sim: mkdtemp");
        return 1;
    }
    flags.options.work_dir = scratch;
    int status = 0;
    try {
        Simulator simulator(std::move(config), flags.options);
        std::string why;
        if (!simulator.start(why)) {
            fprintf(stderr, "oru-platform-sim: %s\n", why.c_str());
            status = 1;
        } else {
            simulator.log().event("ready", {{"endpoints", simulator.endpoints()}});
            announce_ready(flags.ready_file);
            fprintf(stderr, "oru-platform-sim: ready: %s\n", simulator.endpoints().c_str());
            int signal_number = 0;
            sigwait(&stop_signals, &signal_number);
            simulator.stop();
            simulator.log().event("stopped", {{"signal", strsignal(signal_number)}});
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "oru-platform-sim: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    if (!flags.ready_file.empty()) std::filesystem::remove(flags.ready_file, ignored);
    return status;
}
