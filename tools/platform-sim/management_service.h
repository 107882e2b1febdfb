// The management server's requests: login and logout, user info, access-key
// listing and creation, tasks with their progress states, the volume open
// mode, and the host and backup-network listings. Replies follow the
// platform's rules: error replies are {"code","message"} objects, and no
// other reply ever contains the letters "code" (clients treat any body that
// does as an error).
#pragma once

#include "http_exchange.h"
#include "sim_config.h"

#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace oru::sim {

// Error codes of the simulated platform besides the two clients know.
constexpr long kSessionExpired = 107001;
constexpr long kWrongPassword = 107002;
constexpr long kKeyRejected = 107003;
constexpr long kBadRequest = 100400;
constexpr long kNotFound = 100404;

class ManagementService {
  public:
    explicit ManagementService(const Config &config);

    HttpReply handle(const HttpRequest &request);

  private:
    struct Task {
        std::vector<std::string> states;
        size_t polls = 0;
        bool settled = false;
        // The effect of the task once it reaches FINISHED.
        size_t user = SIZE_MAX;  // an access key is created for this user
        std::string volume_uuid; // or this volume's open mode is recorded
        std::string open_mode;
    };
    struct KeyEntry {
        size_t user;
        AccessKey key;
    };

    HttpReply login(const HttpRequest &request);
    HttpReply logout(const HttpRequest &request);
    HttpReply user_info(size_t user);
    HttpReply list_keys();
    HttpReply create_key(const HttpRequest &request);
    HttpReply poll_task(const std::string &id);
    HttpReply set_open_mode(const HttpRequest &request);
    HttpReply list_hosts(const std::string &data_store);
    HttpReply list_backup_network(const std::string &host_id);
    HttpReply state();

    // The user an authorization value stands for, or an error reply.
    bool authorize(const HttpRequest &request, size_t &user, HttpReply &refusal);
    std::string new_task(Task task);
    std::string random_text(size_t length, const char *alphabet);

    const Config &config_;
    std::mutex mutex_;
    std::mt19937_64 random_;
    std::map<std::string, size_t> sessions_; // session id -> user index
    std::vector<KeyEntry> keys_;
    std::map<std::string, Task> tasks_;
    std::map<std::string, std::string> open_modes_; // volume uuid -> recorded mode
    unsigned task_serial_ = 0;
};

} // namespace oru::sim
