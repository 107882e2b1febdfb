// What the simulated platform consists of: its users and access keys, hosts
// with their loads and data stores, volumes, task progress and the scripted
// faults. Loaded once from a JSON file; the services only read it.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace oru::sim {

struct AccessKey {
    std::string id;
    std::string secret;
};

struct User {
    std::string name;
    std::string password;
    std::string user_id;
    std::vector<AccessKey> keys;
};

struct Host {
    std::string id;
    std::string address;        // the host's own address ("name" in listings)
    std::string backup_address; // empty: the host has no backup network
    double cpu_usage = 0.0;
    std::string status = "CONNECTED";
    std::string mount_state = "MOUNTED";
    std::vector<std::string> data_stores;
    bool agent = true; // false: nothing listens on the agent port
};

struct Volume {
    std::string uuid;
    std::string data_store;
    std::string image;   // local image file; empty: the request's diskPath is exported
    bool in_use = false; // open-mode tasks of this volume end in ERROR
    std::vector<std::string> task_states; // overrides the open-mode states
    // Persistent dirty bitmaps its exports offer ("bitmaps": a list of names,
    // or true for every bitmap the qcow2 image holds).
    bool all_bitmaps = false;
    std::vector<std::string> bitmaps;
};

// How a service frames and paces its replies. The defaults (one request per
// connection, Content-Length, one write, closed after the reply) are the
// simplest server; the others are what real servers and the proxies in
// front of them do, so that clients can be tried against them.
struct ReplyHabits {
    int keep_alive_seconds = 0; // >0: keep the connection open that long after a reply
    size_t chunk_bytes = 0;     // >0: chunked transfer coding, chunks of this size, a write each
    bool chunk_extras = false;  // chunk extensions on every size line and a trailer
    size_t dribble_bytes = 0;   // >0: no write carries more than this
    int dribble_pause_ms = 0;   // pause before every write after the first
    bool silent = false;        // accept connections and never say a word
};

// One scripted deviation: requests that match it get its reply instead of
// the service's own (and have no effect).
struct FaultRule {
    std::string service = "management"; // or "agent"
    std::string host;                   // agent rules: only this host id
    std::string method;                 // empty: any
    std::string path;                   // prefix of the request target
    int after = 0;                      // let this many matches pass first
    int times = -1;                     // then fire this often (-1: always)
    // The reply: an error object {"code","message"}, a JSON value, raw body
    // text, or no reply at all (the connection is closed, or held open in
    // silence).
    std::optional<long> code;
    std::string message;
    std::optional<nlohmann::json> json;
    std::optional<std::string> body;
    bool close = false;
    bool silent = false;
    int status = 0; // HTTP status; 0 chooses one
};

struct Config {
    std::string address = "127.0.0.10";
    int management_port = 443;
    int agent_port = 9753;
    std::vector<User> users;
    std::vector<Host> hosts;
    std::vector<Volume> volumes;
    std::vector<std::string> open_mode_states{"RUNNING", "FINISHED"};
    std::vector<std::string> access_key_states{"RUNNING", "FINISHED"};
    std::vector<FaultRule> faults;
    ReplyHabits management_replies;
    ReplyHabits agent_replies; // every host agent's
    std::string image_dir;     // relative image paths are resolved against it

    const Host *host_by_id(const std::string &id) const;
    const Volume *volume_by_uuid(const std::string &uuid) const;
};

// Parses a configuration document. Throws std::runtime_error naming the
// offending member when the document does not describe a platform.
Config parse_config(const nlohmann::json &document);

// Reads and parses a configuration file; relative image paths then resolve
// against the file's directory unless image_dir is set later.
Config load_config(const std::string &path);

// The JSON document of a configuration file (not yet checked).
nlohmann::json read_config_file(const std::string &path);
std::string directory_of(const std::string &path);

// A configuration object given on the command line as "name=value,..."
// ("true"/"false" become booleans, cpuUsage a number, dataStores and
// taskStates lists of words joined by "+").
nlohmann::json flag_object(const std::string &text);

// Splits "A,B,C" into its words (task-state lists given on the command line).
std::vector<std::string> split_list(const std::string &text);

} // namespace oru::sim
