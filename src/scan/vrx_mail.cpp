#include "scan/vrx_mail.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/log.h"
#include "scan/file_with_path.h"
#include "scan/report_page.h"
#include "settings/icapd_config.h"

namespace {

constexpr size_t text_max = 9999;

enum class lock_state { take, skip, fail };

// Takes the lock of the object unless a fresh one exists.
lock_state take_lock(const std::string& lock)
{
    for (;;) {
        int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0622);
        if (fd >= 0) {
            close(fd);
            vrx_log(log_level::wire, "create %s file\n", lock.c_str());
            return lock_state::take;
        }
        if (errno != EEXIST) {
            vrx_log(log_level::error, "can not create file %s: %s\n", lock.c_str(), strerror(errno));
            return lock_state::fail;
        }
        struct stat st;
        if (stat(lock.c_str(), &st) != 0) {
            vrx_log(log_level::error, "stat error on file %s: %s\n", lock.c_str(), strerror(errno));
            return lock_state::fail;
        }
        if (st.st_mtime + g_config.mail_cache >= time(nullptr)) {
            vrx_log(log_level::debug, "file %s exist: skip email sending\n", lock.c_str());
            return lock_state::skip;
        }
        vrx_log(log_level::debug, "Remove old lock file %s\n", lock.c_str());
        if (unlink(lock.c_str()) != 0 && errno != ENOENT) {
            vrx_log(log_level::error, "unlink error on file %s: %s\n", lock.c_str(), strerror(errno));
            return lock_state::fail;
        }
    }
}

std::string local_time_text()
{
    time_t now = time(nullptr);
    struct tm tm_now;
    char buffer[64];
    if (!localtime_r(&now, &tm_now) || !asctime_r(&tm_now, buffer))
        return "";
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

bool same_macro(const std::string& macro, const char* name)
{
    return strcasecmp(macro.c_str(), name) == 0;
}

// Writing into a command that has already exited must not kill the worker.
class sigpipe_ignored {
public:
    sigpipe_ignored()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~sigpipe_ignored() { sigaction(SIGPIPE, &saved_, nullptr); }

private:
    struct sigaction saved_;
};

} // namespace

std::string mail_lock_name(const request_state& request, const std::string& extra_name)
{
    std::string object = extra_name;
    if (object.empty())
        object = quarantine_name_for(request).file_name();
    else
        std::replace(object.begin(), object.end(), '/', '|');
    std::string lock = g_config.cache + "lock." + object;
    size_t limit = quarantine_name_limit();
    if (lock.size() >= limit)
        lock.resize(limit - 1);
    return lock;
}

std::string mail_command_line(const std::string& command, const std::string& recipient)
{
    std::string line = command;
    size_t at = line.find("%s");
    if (at != std::string::npos)
        line.replace(at, 2, recipient.substr(0, text_max));
    return line;
}

int vrx_report_file(request_state& request, entity_record& entity, const char* reason,
                    const char* action, const char* template_name, const std::string& extra_name)
{
    std::string lock;
    try {
        lock = mail_lock_name(request, extra_name);
    } catch (const std::exception& e) {
        // No usable object name: the notification is lost, not the request.
        vrx_log(log_level::error, "vrx_report_file: %s\n", e.what());
        return 0;
    }
    if (g_config.mail_cache != 0) {
        lock_state state = take_lock(lock);
        if (state != lock_state::take)
            return state == lock_state::skip ? 200 : 0;
    }
    // A mail that did not go out must not hold back the next one.
    auto failed = [&]() {
        if (g_config.mail_cache != 0)
            unlink(lock.c_str());
        return 0;
    };
    std::string command = mail_command_line(g_config.mail_command, g_config.hostmaster);
    std::string template_path = g_config.templates + "/email.templ";
    std::unique_ptr<FILE, int (*)(FILE*)> tmpl(fopen(template_path.c_str(), "re"), fclose);
    if (!tmpl) {
        vrx_log(log_level::error, "vrx_report_file: can not open template - %s: %s\n",
                template_path.c_str(), strerror(errno));
        return failed();
    }
    sigpipe_ignored no_sigpipe;
    fflush(nullptr);   // nothing buffered may be written twice by the child
    FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) {
        vrx_log(log_level::error, "popen error for %s: %s\n", command.c_str(), strerror(errno));
        return failed();
    }
    auto handler = [&](const std::string& macro, FILE*, FILE* out, std::string& value) {
        if (same_macro(macro, "$HOSTMASTER$"))
            value = g_config.hostmaster;
        else if (same_macro(macro, "$REASON$"))
            value = reason;
        else if (same_macro(macro, "$TIME$"))
            value = local_time_text();
        else if (same_macro(macro, "$IP$"))
            value = request.client_ip.empty() ? "?" : request.client_ip;
        else if (same_macro(macro, "$ACTION$"))
            value = action;
        else if (same_macro(macro, "$SIZE$"))
            value = std::to_string(entity.size);
        else if (same_macro(macro, "$URL$"))
            value = request.url;
        else if (same_macro(macro, "$HTML_PAGE$")) {
            make_report_page(request, &entity, template_name, out, false);
            return macro_written;
        } else
            return macro_unknown;
        if (value.size() > text_max)
            value.resize(text_max);
        return macro_value;
    };
    copy_template(tmpl.get(), pipe, "Search macros %s\n", handler);
    int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string why = status == -1 ? strerror(errno)
                                       : "exit status " + std::to_string(WIFEXITED(status)
                                                                             ? WEXITSTATUS(status)
                                                                             : -1);
        vrx_log(log_level::error, "in execute %s: %s\n", command.c_str(), why.c_str());
        return failed();
    }
    vrx_log(log_level::info, "email report to %s sent successfully\n", g_config.hostmaster.c_str());
    return 200;
}
