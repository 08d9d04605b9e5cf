#pragma once
// Reads of a shared-memory keyed collection that survive a corrupt record: the corruption is
// handed to the collection's handler (which counts and reports it, and removes every damaged
// record of the collection) and the read goes on as if the record were absent. A walk stops at
// the step that found corruption and says so, so that its caller can walk again once the
// damaged records are gone.
#include <optional>
#include <utility>

#include "contracts/shm/KeyedCollection.h"

namespace VornTunnelTcamMgr::entrylog {

// The result of `read()`, or its value-initialised result (the default record, or nothing)
// when the collection reports corruption; then `reported` is set.
template <typename Record, typename Read>
auto guardedRead(Tessel::KeyedCollection<Record> const& coll, Read&& read, bool& reported) -> decltype(read()) {
    try {
        return read();
    } catch (Lumo::CorruptionDetectedException const& e) {
        coll.doCorruptionDetected(e.what());
        reported = true;
        return {};
    }
}

template <typename Record, typename Read>
auto guardedRead(Tessel::KeyedCollection<Record> const& coll, Read&& read) -> decltype(read()) {
    bool reported = false;
    return guardedRead(coll, std::forward<Read>(read), reported);
}

// Calls fn(record) for every record in collection order. Every step finds its place again from
// the last key, so fn may rewrite or remove the record it is given. Returns false when a step
// met corruption and so ended the walk before the last record.
template <typename Record, typename Fn>
bool forEachRecord(Tessel::KeyedCollection<Record> const& coll, Fn&& fn) {
    bool reported = false;
    std::optional<Record> cur = guardedRead(
        coll, [&] { return coll.first(); }, reported);
    while (cur) {
        auto const key = cur->key();
        fn(*cur);
        cur = guardedRead(
            coll, [&] { return coll.after(key); }, reported);
    }
    return !reported;
}

}  // namespace VornTunnelTcamMgr::entrylog
