// Write scopes and commit groups of an Environment, and the journal of what the open write
// transaction wrote: a unit (an outermost scope, or a single write outside one) that fails is
// undone alone by writing the journal up to the unit's start again in a new transaction.
#include <cstring>
#include <exception>
#include <utility>

#include "contracts/shm/Environment.h"
#include "contracts/shm/LmdbHandle.h"

namespace QelSharedMem {

// ---------------------------------------------------------------- scopes

void Environment::scopeBegin() {
    checkOpen();
    if (scopeDepth_ == 0) {
        if (groupOpen_) {
            groupTxn();
            scopeMark_ = journal_.size();
        } else {
            int const rc = beginWrite(&scopeTxn_);
            if (rc != 0) throwLmdbError(rc, path_, "starting", "a write transaction");
            journal_.clear();
        }
        scopeRollback_ = false;
        scopeWriteFailed_ = false;
    }
    ++scopeDepth_;
}

void Environment::scopeEnd(bool unwinding) {
    if (scopeDepth_ == 0) return;  // abandoned in a forked child
    if (unwinding) scopeRollback_ = true;
    if (--scopeDepth_ > 0) return;
    bool const rollback = std::exchange(scopeRollback_, false);
    bool const writeFailed = std::exchange(scopeWriteFailed_, false);
    if (groupOpen_) {
        // A unit of the group: its writes stay in the group's transaction, or are undone alone.
        if (!scopeTxn_) {
            if (!unwinding)
                throw StorageError("shared-memory environment " + path_ +
                                   " was closed inside a write transaction: its writes are lost");
            return;
        }
        if (!rollback && !unwinding && injectedCommitFailure()) {
            rollbackTo(scopeMark_, false);
            throw StorageError("shared-memory environment " + path_ +
                               ": committing a write transaction failed: injected I/O error");
        }
        if (!rollback && !unwinding) {
            if (int const rc = ensureMargin(); rc != 0) {
                rollbackTo(scopeMark_, false);
                throwLmdbError(rc, path_, "reserving room to commit", "a write transaction");
            }
        }
        if (!rollback) return;
        rollbackTo(scopeMark_, writeFailed);
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               ": write transaction rolled back because a write or an inner scope in it failed");
        return;
    }
    MDB_txn* const txn = std::exchange(scopeTxn_, nullptr);
    struct AfterScope {
        Environment& env;
        ~AfterScope() { env.afterTransaction(); }
    } const afterScope{*this};
    if (!txn) {
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               " was closed inside a write transaction: its writes are lost");
        return;
    }
    int const marginRc = rollback || unwinding ? 0 : ensureMargin();
    if (marginRc != 0) {
        mdb_txn_abort(txn);
        journal_.clear();
        throwLmdbError(marginRc, path_, "reserving room to commit", "a write transaction");
    }
    if (!rollback && !unwinding && injectedCommitFailure()) {
        mdb_txn_abort(txn);
        journal_.clear();
        throw StorageError("shared-memory environment " + path_ +
                           ": committing a write transaction failed: injected I/O error");
    }
    if (rollback) {
        mdb_txn_abort(txn);
        journal_.clear();
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               ": write transaction rolled back because a write or an inner scope in it failed");
        return;
    }
    int const rc = commitTxn(txn);
    journal_.clear();
    if (rc != 0 && !unwinding) throwLmdbError(rc, path_, "committing", "a write transaction");
}

void Environment::afterTransaction() {
    if (!damaged_.empty() && env_) removeDamaged();
}

// ---------------------------------------------------------------- commit groups

bool Environment::groupBegin() {
    checkOpen();
    if (groupOpen_ || scopeDepth_ > 0 || scopeTxn_) return false;
    groupOpen_ = true;
    groupLost_ = false;
    journal_.clear();
    return true;
}

MDB_txn* Environment::groupTxn() {
    if (!scopeTxn_) {
        int const rc = beginWrite(&scopeTxn_);
        if (rc != 0) throwLmdbError(rc, path_, "starting", "a write transaction");
        journal_.clear();
    }
    return scopeTxn_;
}

void Environment::groupCommit() {
    if (!groupOpen_ || scopeDepth_ > 0) return;
    MDB_txn* const txn = std::exchange(scopeTxn_, nullptr);
    bool const lost = std::exchange(groupLost_, false);
    int const rc = txn ? commitTxn(txn) : 0;
    journal_.clear();
    afterTransaction();
    if (rc != 0) throwLmdbError(rc, path_, "committing", "a group of writes");
    if (lost)
        throw StorageError("shared-memory environment " + path_ +
                           ": writes of a commit group were lost when a failed write was undone");
}

void Environment::groupEnd(bool unwinding) {
    if (!groupOpen_) return;
    try {
        groupCommit();
    } catch (std::exception const& e) {
        groupOpen_ = false;
        if (!unwinding) throw;
        QEL_TRACE_AT(tesselTrace(), 1, "committing a group of writes of {} failed: {}", path_, e.what());
        return;
    }
    groupOpen_ = false;
}

void Environment::journal(MDB_dbi dbi, MDB_val const& key, MDB_val const* value) {
    struct Op {
        MDB_dbi dbi;
        std::uint32_t keySize;
        std::uint32_t valueSize;  // ~0: a removal
    } const op{dbi, static_cast<std::uint32_t>(key.mv_size),
               value ? static_cast<std::uint32_t>(value->mv_size) : ~std::uint32_t{0}};
    // Appended from the sources, never resized first: a resize would clear the bytes it adds.
    auto append = [this](void const* bytes, std::size_t size) {
        auto const* const from = static_cast<char const*>(bytes);
        journal_.insert(journal_.end(), from, from + size);
    };
    append(&op, sizeof op);
    append(key.mv_data, key.mv_size);
    if (value) append(value->mv_data, value->mv_size);
}

void Environment::rollbackTo(std::size_t mark, bool failed) {
    if (!scopeTxn_ || (!failed && journal_.size() == mark)) return;
    scopeChanged();
    mdb_txn_abort(std::exchange(scopeTxn_, nullptr));
    journal_.resize(mark);
    if (int const rc = replayJournal(scopeTxn_); rc != 0) {
        journal_.clear();
        groupLost_ = true;
        QEL_TRACE_AT(tesselTrace(), 1,
                     "undoing a failed write of {}: writing the group's earlier writes again failed: {}", path_,
                     mdb_strerror(rc));
    }
}

int Environment::replayJournal(MDB_txn*& txn) {
    int rc = beginWrite(&txn);
    for (std::size_t at = 0; rc == 0 && at < journal_.size();) {
        struct {
            MDB_dbi dbi;
            std::uint32_t keySize;
            std::uint32_t valueSize;
        } op;
        std::memcpy(&op, journal_.data() + at, sizeof op);
        at += sizeof op;
        MDB_val k{op.keySize, journal_.data() + at};
        at += op.keySize;
        if (op.valueSize == ~std::uint32_t{0}) {
            rc = mdb_del(txn, op.dbi, &k, nullptr);
            if (rc == MDB_NOTFOUND) rc = 0;
        } else {
            MDB_val v{op.valueSize, journal_.data() + at};
            at += op.valueSize;
            rc = mdb_put(txn, op.dbi, &k, &v, 0);
        }
    }
    if (rc != 0 && txn) mdb_txn_abort(std::exchange(txn, nullptr));
    return rc;
}

}  // namespace QelSharedMem
