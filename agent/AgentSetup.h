#pragma once
// Settings every tcam-agent command shares: which shared-memory namespace it works on and
// which traces it enables. Both check their input and throw BadInput, so that a command can
// refuse a bad command line before it touches anything.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace VornTcamAgent {

// A problem with what the user gave the program (exit status 2).
class BadInput : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Makes `requested` (when given) this process's shared-memory namespace and returns the
// namespace in force: the requested one, else $VORN_SHM_NAMESPACE, else "default". Nothing
// is opened or created.
std::string selectNamespace(std::optional<std::string> const& requested);

// Enables trace handles from items "HANDLE/LEVEL" (LEVEL 0..9, HANDLE a name or "*"); an item
// may itself hold several separated by commas.
void enableTraces(std::vector<std::string> const& items);

// Whether the shared-memory tables are kept by the non-local entity manager (NOT_LOCAL_EM).
bool tablesUseNonLocalManager();

}  // namespace VornTcamAgent
