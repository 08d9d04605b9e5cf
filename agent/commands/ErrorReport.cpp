#include "agent/commands/ErrorReport.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string_view>

#include "agent/commands/CommandOptions.h"
#include "agent/commands/Output.h"
#include "agent/state/EchoText.h"

namespace VornTcamAgent {

namespace {

// Long enough for any message of ours; a message quoting a whole file stops here.
constexpr std::size_t kMessageBytes = 1024;

void printJson(ErrorReport const& error, std::string const& message) {
    nlohmann::json doc = {{"command", error.command}, {"status", error.status}, {"error", message}};
    if (DesiredStateError const* w = error.where) {
        if (!w->file().empty()) doc["file"] = echoText(w->file(), kEchoNameBytes);
        if (w->line() > 0) doc["line"] = w->line();
        if (!w->path().empty()) doc["field"] = w->path();
        doc["problem"] = echoMessage(w->problem(), kMessageBytes);
    }
    // Everything was escaped into valid UTF-8; replacing stays a guard. The error is what the
    // exit status reports; a stdout that cannot take it changes nothing.
    (void)printResult(doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace

int reportError(ErrorReport const& error, bool json) {
    std::string const message = echoMessage(error.message, kMessageBytes);
    if (error.command.empty())
        printMessage(fmt::format("tcam-agent: {}\nRun with --help for more information.\n", message));
    else
        printMessage(fmt::format("tcam-agent {}: {}\n", error.command, message));
    if (json) printJson(error, message);
    return error.status;
}

int reportCommandLineError(int argc, char** argv, std::string const& message) {
    ErrorReport error{"", kExitBadInput, message};
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view const arg = argv[i];
        if (arg == "--") break;
        if (arg == "--json") json = true;
        if (error.command.empty() && (arg == "run" || arg == "show" || arg == "clean")) error.command = arg;
    }
    // Same wording as before the command was known: the parser's message and a pointer to --help.
    ErrorReport const printed{"", error.status, message};
    reportError(printed, false);
    if (json) printJson(error, echoMessage(message, kMessageBytes));
    return error.status;
}

}  // namespace VornTcamAgent
