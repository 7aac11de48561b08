#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace morcelix::testing {

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchFolder) {
    const std::string outPath = scratchFolder + "/out.txt";
    const std::string errPath = scratchFolder + "/err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    ProgramRun run;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    // A program killed by a signal shows as the shell shows it: 128 + the signal.
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadFileBytes(outPath);
    run.err = ReadFileBytes(errPath);
    return run;
}

std::string CliProgram() {
    return MORCELIX_CLI_PROGRAM;
}

}  // namespace morcelix::testing
