#include "contracts/shm/ReadAhead.h"

#include <lmdb.h>

#include <string_view>

#include "contracts/shm/RawCollection.h"

namespace Tessel::detail {

void ReadAhead::fill(MDB_cursor* c) {
    MDB_val k, v;
    while (!full() && mdb_cursor_get(c, &k, &v, MDB_NEXT) == 0) {
        if (k.mv_size != keySize_ || std::memcmp(k.mv_data, lastKey(), keySize_) <= 0 ||
            !storedRecordIntact(std::string_view(static_cast<char const*>(k.mv_data), k.mv_size),
                                std::string_view(static_cast<char const*>(v.mv_data), v.mv_size),
                                static_cast<std::uint32_t>(recordSize_))) {
            mdb_cursor_get(c, &k, &v, MDB_PREV);  // back to the last record taken
            return;
        }
        append(k.mv_data, v.mv_data);
    }
}

}  // namespace Tessel::detail
