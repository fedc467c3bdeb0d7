#include "run_program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace stubmedia {

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv, bool passThrough)
{
    ProgramResult result;
    char pattern[] = "/tmp/stubmedia-run-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        return result;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : extraEnv)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            envText.push_back(entry);
    }
    for (const auto& [name, value] : extraEnv)
        envText.push_back(name + "=" + value);
    std::vector<char*> args, env;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : envText)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (passThrough) {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, fd, 1);
        posix_spawn_file_actions_adddup2(&actions, fd, 2);
    }
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fd);
    if (rc == 0) {
        result.started = true;
        int status = 0;
        pid_t waited;
        while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        if (waited == pid && WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
        std::ifstream in(pattern, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        result.output = text.str();
    }
    unlink(pattern);
    return result;
}

}  // namespace stubmedia
