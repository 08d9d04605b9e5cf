#include "agent/state/DesiredStateGenerate.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

#include "agent/state/InLifKeySet.h"

namespace VornTcamAgent {

namespace {

// SplitMix64: small, fast and fully specified, so a seed gives the same numbers everywhere.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in 0..bound-1; bound > 0. The modulo bias is irrelevant for test data.
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    std::uint32_t below32(std::uint64_t bound) { return static_cast<std::uint32_t>(below(bound)); }

  private:
    std::uint64_t state_;
};

// Each unit draws from its own sequence, so its entries do not depend on which other units are
// generated alongside it.
Rng unitRng(std::uint64_t seed, Asic::UnitId unit, std::uint64_t purpose) {
    Rng mix(seed ^ (std::uint64_t{unit} << 32) ^ purpose);
    return Rng(mix.next());
}

constexpr std::uint32_t kGeneratedVrfs = 1024;
constexpr TunnelType kTunnelTypes[] = {TunnelType::ipInIp, TunnelType::gre, TunnelType::vxlan, TunnelType::mplsOverGre};
constexpr DecapType kDecapTypes[] = {DecapType::decapOuter, DecapType::decapOuterAndInnerL2, DecapType::forwardOnly};

VornInLif::InLifKey randomInLif(Rng& rng) {
    VornInLif::InLifKey k;
    k.intfId = 1 + rng.below32(100000);
    k.vlanId = static_cast<std::uint16_t>(1 + rng.below(kMaxVlanId - 1));
    return k;
}

// An InLif key for a new or changed action: one already used in the unit (shared) most of the
// time, a fresh one sometimes, none rarely.
VornInLif::InLifKey pickInLif(Rng& rng, std::vector<VornInLif::InLifKey> const& used) {
    std::uint64_t const roll = rng.below(8);
    if (roll == 0) return {};
    if (roll == 1 || used.empty()) return randomInLif(rng);
    return used[rng.below(used.size())];
}

DesiredActionEntry randomAction(Rng& rng, std::uint32_t actionId, VornInLif::InLifKey inLif) {
    DesiredActionEntry a;
    a.actionId = actionId;
    a.decapType = kDecapTypes[rng.below(std::size(kDecapTypes))];
    a.vrfId = rng.below32(kGeneratedVrfs);
    a.inLif = inLif;
    return a;
}

// A key entry whose key is not yet in `taken` (which receives it), applying one of `actions`.
DesiredKeyEntry randomKey(Rng& rng, std::unordered_set<VornTunnelTcamMgr::TcamEntryKey>& taken,
                          std::vector<DesiredActionEntry> const& actions) {
    DesiredKeyEntry k;
    do {
        k.vrfId = rng.below32(kGeneratedVrfs);
        k.tunnelType = kTunnelTypes[rng.below(std::size(kTunnelTypes))];
        k.addressFamily = rng.below(4) == 0 ? AddressFamily::ipv6 : AddressFamily::ipv4;
        k.srcAddr = {};
        k.dstAddr = {};
        std::size_t const len = k.addressFamily == AddressFamily::ipv6 ? 16 : 4;
        for (std::size_t i = 0; i < len; ++i) {
            k.srcAddr[i] = static_cast<std::uint8_t>(rng.below(256));
            k.dstAddr[i] = static_cast<std::uint8_t>(rng.below(256));
        }
    } while (!taken.insert(k.key()).second);
    k.priority = static_cast<std::uint16_t>(rng.below(std::uint64_t{kMaxPriority} + 1));
    k.ttlCheck = rng.below(2) == 1;
    k.actionId = actions[rng.below(actions.size())].actionId;
    return k;
}

std::vector<VornInLif::InLifKey> inLifsOf(std::vector<DesiredActionEntry> const& actions) {
    std::vector<VornInLif::InLifKey> out;
    for (auto const& a : actions)
        if (!a.inLif.isNull()) out.push_back(a.inLif);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// `count` distinct indexes below `size`, in increasing order.
std::vector<std::size_t> pickIndexes(Rng& rng, std::size_t size, std::size_t count) {
    std::vector<std::size_t> all(size);
    for (std::size_t i = 0; i < size; ++i) all[i] = i;
    count = std::min(count, size);
    for (std::size_t i = 0; i < count; ++i) std::swap(all[i], all[i + rng.below(size - i)]);
    all.resize(count);
    std::sort(all.begin(), all.end());
    return all;
}

template <typename T>
void eraseIndexes(std::vector<T>& v, std::vector<std::size_t> const& sortedIndexes) {
    for (auto it = sortedIndexes.rbegin(); it != sortedIndexes.rend(); ++it)
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(*it));
}

// How many entries of a table of `size` one kind of touch affects.
std::size_t touchCount(std::size_t size, double fraction) {
    if (fraction <= 0 || size == 0) return 0;
    auto const n = static_cast<std::size_t>(std::llround(fraction * static_cast<double>(size) / 3.0));
    return std::max<std::size_t>(n, 1);
}

void changeAction(Rng& rng, DesiredActionEntry& a, std::vector<VornInLif::InLifKey> const& used) {
    switch (rng.below(3)) {
        case 0:
            a.vrfId = (a.vrfId + 1 + rng.below32(kGeneratedVrfs - 1)) % kGeneratedVrfs;
            break;
        case 1: {
            auto const old = a.decapType;
            while (a.decapType == old) a.decapType = kDecapTypes[rng.below(std::size(kDecapTypes))];
            break;
        }
        default: {
            auto const old = a.inLif;
            while (a.inLif == old) a.inLif = pickInLif(rng, used);
            break;
        }
    }
}

void changeKey(Rng& rng, DesiredKeyEntry& k, std::vector<DesiredActionEntry> const& actions) {
    switch (rng.below(3)) {
        case 0:
            if (actions.size() > 1) {
                auto const old = k.actionId;
                while (k.actionId == old) k.actionId = actions[rng.below(actions.size())].actionId;
                break;
            }
            [[fallthrough]];
        case 1:
            k.priority = static_cast<std::uint16_t>(k.priority + 1 + rng.below(kMaxPriority));
            break;
        default:
            k.ttlCheck = !k.ttlCheck;
            break;
    }
}

void mutateUnit(DesiredUnit& unit, Rng& rng, double fraction) {
    auto& actions = unit.actionEntries;
    auto& keys = unit.keyEntries;
    std::size_t const actionTouches = touchCount(actions.size(), fraction);
    std::size_t const keyTouches = touchCount(keys.size(), fraction);

    eraseIndexes(keys, pickIndexes(rng, keys.size(), keyTouches));
    eraseIndexes(actions, pickIndexes(rng, actions.size(), actionTouches));

    // Key entries whose action went away apply a surviving one, or go too.
    std::unordered_set<std::uint32_t> ids;
    for (auto const& a : actions) ids.insert(a.actionId);
    if (actions.empty()) {
        keys.clear();
    } else {
        for (auto& k : keys)
            if (!ids.contains(k.actionId)) k.actionId = actions[rng.below(actions.size())].actionId;
    }

    auto const used = inLifsOf(actions);
    for (std::size_t i : pickIndexes(rng, actions.size(), actionTouches)) changeAction(rng, actions[i], used);

    std::uint32_t nextId = 0;
    for (auto const& a : actions) nextId = std::max(nextId, a.actionId);
    for (std::size_t i = 0; i < actionTouches && nextId < kMaxActionId; ++i)
        actions.push_back(randomAction(rng, ++nextId, pickInLif(rng, used)));

    for (std::size_t i : pickIndexes(rng, keys.size(), keyTouches)) changeKey(rng, keys[i], actions);

    if (actions.empty()) return;
    std::unordered_set<VornTunnelTcamMgr::TcamEntryKey> taken;
    for (auto const& k : keys) taken.insert(k.key());
    for (std::size_t i = 0; i < keyTouches; ++i) keys.push_back(randomKey(rng, taken, actions));
}

}  // namespace

std::size_t generatedInLifKeys(std::size_t n) { return std::max<std::size_t>(1, n / 4); }

void checkGenerateSize(std::size_t unitCount, std::uint64_t n, std::size_t inLifKeys) {
    if (n > kMaxEntriesPerTable)
        throw std::invalid_argument(
            fmt::format("{} entries per table is more than a unit's table holds ({})", n, kMaxEntriesPerTable));
    std::uint64_t const keys = std::uint64_t{unitCount} * generatedInLifKeys(static_cast<std::size_t>(n));
    if (keys > inLifKeys)
        throw std::invalid_argument(
            fmt::format("{} entries on {} units use up to {} InLif keys ({} per unit); the InLif pools hold {}", n,
                        unitCount, keys, generatedInLifKeys(static_cast<std::size_t>(n)), inLifKeys));
}

DesiredState generate(std::vector<Asic::UnitId> const& units, std::size_t n, std::uint64_t seed,
                      std::size_t inLifKeys) {
    checkGenerateSize(units.size(), n, inLifKeys);
    DesiredState state;
    for (Asic::UnitId unitId : units) {
        if (unitId > kMaxUnitId) throw std::invalid_argument(fmt::format("unit {} is out of range", unitId));
        if (state.findUnit(unitId)) throw std::invalid_argument(fmt::format("unit {} named twice", unitId));
        Rng rng = unitRng(seed, unitId, 0x6E6E);
        DesiredUnit unit;
        unit.unitId = unitId;

        // About four actions per InLif key.
        std::vector<VornInLif::InLifKey> pool;
        InLifKeySet inPool;
        std::size_t const poolSize = generatedInLifKeys(n);
        pool.reserve(poolSize);
        inPool.reserve(poolSize);
        while (pool.size() < poolSize) {
            auto const k = randomInLif(rng);
            if (inPool.insert(packedInLifKey(k)).second) pool.push_back(k);
        }
        unit.actionEntries.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            VornInLif::InLifKey inLif = rng.below(8) == 0 ? VornInLif::InLifKey{} : pool[rng.below(pool.size())];
            unit.actionEntries.push_back(randomAction(rng, static_cast<std::uint32_t>(i + 1), inLif));
        }
        std::unordered_set<VornTunnelTcamMgr::TcamEntryKey> taken;
        taken.reserve(n);
        unit.keyEntries.reserve(n);
        for (std::size_t i = 0; i < n; ++i) unit.keyEntries.push_back(randomKey(rng, taken, unit.actionEntries));
        state.units.push_back(std::move(unit));
    }
    return state;
}

DesiredState mutate(DesiredState const& state, std::uint64_t seed, double fraction) {
    if (!(fraction >= 0.0 && fraction <= 1.0))
        throw std::invalid_argument(fmt::format("fraction {} is outside 0..1", fraction));
    DesiredState out = state;
    for (auto& unit : out.units) {
        Rng rng = unitRng(seed, unit.unitId, 0x6D75);
        mutateUnit(unit, rng, fraction);
    }
    return out;
}

}  // namespace VornTcamAgent
