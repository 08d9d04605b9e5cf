#pragma once
// The operator-visible log messages of an entry-log module. Each module (key table, action
// table) owns one EntryLogMessages object, made once when the module is loaded.
#include "api/Export.h"
#include "contracts/qel/Log.h"

namespace VornTunnelTcamMgr {

inline constexpr Qel::LogDescriptor kHwAbstractionErrorDescriptor{
    "HW_ABSTRACTION_ERROR", "Hardware abstraction error: unable to load item: %s",
    "Hardware abstraction error: unable to load some persistent items. Some agents will be restarted"};
inline constexpr Qel::LogDescriptor kHwAbstractionRelaunchErrorDescriptor{
    "HW_ABSTRACTION_RELAUNCH_ERROR", "%s", "Duplicate Writer Detected, tessel path not cleaned up"};
inline constexpr Qel::LogDescriptor kHwAbstractionExceptionDescriptor{"HW_ABSTRACTION_EXCEPTION", "%s", "Exception"};

// Only HW_ABSTRACTION_ERROR is raised (a persistent table was found wiped at mount); the other
// two are declared for the operators' message catalogue and never raised.
struct VORN_TCAMMGR_API EntryLogMessages {
    Qel::LogHandle hwAbstractionError{kHwAbstractionErrorDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    Qel::LogHandle hwAbstractionRelaunchError{kHwAbstractionRelaunchErrorDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    Qel::LogHandle hwAbstractionException{kHwAbstractionExceptionDescriptor, Lumo::Duration{}, 1.0, 0, 0};
};

}  // namespace VornTunnelTcamMgr
