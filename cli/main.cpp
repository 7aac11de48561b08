// morcelix-cli: splits and joins piece sets from scripts and terminals.
#include "cli/commands.h"
#include "cli/console.h"

int main(int argc, char** argv) {
    using namespace morcelix::cli;
    GuardStandardStreams();
    CatchInterruptions();
    StandardInputData input;
    StandardOutputData output;
    return RunCli(ProgramArguments(argc, argv), StandardOutput(), StandardError(),
                  StandardErrorIsTerminal(), {input, output});
}
