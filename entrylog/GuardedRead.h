#pragma once
// Reads of a shared-memory keyed collection that survive a corrupt record: the corruption is
// handed to the collection's handler (which counts and reports it) and the read goes on as if
// the record were absent. A walk stops at the step that found corruption.
#include <optional>

#include "contracts/shm/KeyedCollection.h"

namespace VornTunnelTcamMgr::entrylog {

// The result of `read()`, or its value-initialised result (the default record, or nothing)
// when the collection reports corruption.
template <typename Record, typename Read>
auto guardedRead(Tessel::KeyedCollection<Record> const& coll, Read&& read) -> decltype(read()) {
    try {
        return read();
    } catch (Lumo::CorruptionDetectedException const& e) {
        coll.doCorruptionDetected(e.what());
        return {};
    }
}

// Calls fn(record) for every record in collection order. Every step finds its place again from
// the last key, so fn may rewrite or remove the record it is given.
template <typename Record, typename Fn>
void forEachRecord(Tessel::KeyedCollection<Record> const& coll, Fn&& fn) {
    std::optional<Record> cur = guardedRead(coll, [&] { return coll.first(); });
    while (cur) {
        auto const key = cur->key();
        fn(*cur);
        cur = guardedRead(coll, [&] { return coll.after(key); });
    }
}

}  // namespace VornTunnelTcamMgr::entrylog
