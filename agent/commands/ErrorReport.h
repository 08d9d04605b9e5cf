#pragma once
// How tcam-agent reports a command it could not carry out. The message goes to stderr, escaped
// and shortened (echoMessage), so that input it quotes cannot act on the terminal. With --json
// the same error is also printed as one JSON document on stdout, so that a caller reading JSON
// gets a document on every exit:
//   {"command": "run", "status": 2, "error": "<message>",
//    "file": "bad.json", "line": 7, "field": "units[0].vrf", "problem": "..."}
// (file, line, field and problem only for a desired-state problem, as far as they are known).
// Printing is best-effort (Output.h): an error that cannot be printed still gives its status.
#include <string>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

struct ErrorReport {
    std::string command;  // "run", "show", "clean"; empty when no command was recognised
    int status = 0;       // the exit status
    std::string message;
    DesiredStateError const* where = nullptr;  // a desired-state problem: its position
};

// Prints the error as described above and returns its status.
int reportError(ErrorReport const& error, bool json);

// The command line was refused (`message` from the command-line parser). Its command and
// whether --json was asked for are read from argv itself, since the parse did not finish.
int reportCommandLineError(int argc, char** argv, std::string const& message);

}  // namespace VornTcamAgent
