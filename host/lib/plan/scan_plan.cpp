// The planner: check every gate, merge the gates of one station and area
// into blocks the driver admits, order the transfers by station, predict.
#include "plan/scan_plan.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "plan/line_cost.h"

namespace qel::plan {

namespace {

// A gate the driver accepted: what its check stored.
struct Item {
    std::size_t gate;
    std::uint32_t station;
    std::uint32_t areaCode;
    std::uint32_t element;
    std::int32_t count;
    std::int32_t dataType;
    std::string gas;

    std::uint32_t Last() const { return element + static_cast<std::uint32_t>(std::max(count, 1)) - 1; }
};

// The address of an item that was not given one (an element inside a run).
using GasOf = std::function<std::string(std::size_t gate)>;

// A block being built: elements start .. start + count - 1.
struct Block {
    std::uint32_t start = 0;
    std::int32_t count = 0;
    std::vector<const Item*> items;
};

std::int32_t DataTypeOf(std::uint32_t areaCode) { return IsBitArea(areaCode) ? DATA_TYPE_BIT : DATA_TYPE_WORD; }

// Asks the driver which blocks it admits, remembering every answer.
class Admission {
public:
    explicit Admission(const Driver& driver) : driver_(driver) {}

    // The check admits a block of count elements from start, and every
    // element of it is a gate of the station's model (a block never spans a
    // hole in the numbering).
    bool Block(std::uint32_t station, std::uint32_t areaCode, std::uint32_t start, std::int32_t count) {
        const auto key = std::make_tuple(station, areaCode, start, count);
        if (const auto found = blocks_.find(key); found != blocks_.end()) return found->second;
        bool admitted = Check(QEL_CHECK_BLOCK, station, areaCode, start, count);
        for (std::int32_t i = 0; admitted && i < count; ++i) {
            admitted = Element(station, areaCode, start + static_cast<std::uint32_t>(i));
        }
        blocks_[key] = admitted;
        return admitted;
    }

    // The check accepts the element as a single gate, stored as it is named.
    bool Element(std::uint32_t station, std::uint32_t areaCode, std::uint32_t element) {
        const auto key = std::make_tuple(station, areaCode, element);
        if (const auto found = elements_.find(key); found != elements_.end()) return found->second;
        return elements_[key] = Check(QEL_CHECK_GATE, station, areaCode, element, 1);
    }

    // An element the check has accepted already, as a gate of the host's.
    void Accepted(const Item& item) { elements_[std::make_tuple(item.station, item.areaCode, item.element)] = true; }

private:

    bool Check(std::int32_t operation, std::uint32_t station, std::uint32_t areaCode, std::uint32_t element,
               std::int32_t count) {
        const std::string gas = ElementGas(station, areaCode, element);
        if (gas.empty()) return false;
        GateDefinition definition{};
        definition.gas = gas.c_str();
        definition.dataType = DataTypeOf(areaCode);
        definition.count = count;
        return driver_.check(operation, definition) == QEL_RESULT_DONE && definition.station == station &&
               definition.areaCode == areaCode && definition.element == element;
    }

    const Driver& driver_;
    std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::int32_t>, bool> blocks_;
    std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, bool> elements_;
};

class Planner {
public:
    Planner(const Driver& driver, const PlanOptions& options, GasOf gasOf = {})
        : driver_(driver), options_(options), admit_(driver), gasOf_(std::move(gasOf)) {}

    Admission& Admit() { return admit_; }

    // Merges the items of one station and area, sorted by element.
    void MergeGroup(const std::vector<const Item*>& items, std::vector<Transfer>& out) {
        const bool fa2 = Fa2(items.front()->station);
        Block current;
        for (const Item* item : items) {
            if (!current.items.empty() && Extend(current, *item, fa2)) continue;
            if (!current.items.empty()) out.push_back(Finish(current));
            current = Start(*item, fa2);
        }
        if (!current.items.empty()) out.push_back(Finish(current));
    }

    Transfer AsIs(const Item& item) const {
        Transfer transfer = Empty(item.station, item.areaCode, item.element, item.count);
        transfer.gas = item.gas.empty() && gasOf_ ? gasOf_(item.gate) : item.gas;
        transfer.dataType = item.dataType;
        transfer.gates.push_back({item.gate, 0, item.count});
        return transfer;
    }

    bool Fa2(std::uint32_t station) const { return driver_.model(station) == "FA2"; }

private:
    double Cost(std::uint32_t station, std::uint32_t areaCode, std::int32_t count) const {
        return ExchangeMs(ReadShape(Fa2(station), areaCode, count), options_.line);
    }

    bool Mergeable(const Item& item) const { return item.areaCode <= AREA_SR && item.count >= 1; }

    // A bit gate starts a block at its byte, so that later bits of the same
    // bytes join it; a word gate starts a block of its own elements.
    Block Start(const Item& item, bool fa2) {
        Block block{item.element, item.count, {&item}};
        if (!Mergeable(item) || !IsBitArea(item.areaCode)) return block;
        const std::uint32_t aligned = item.element / 8 * 8;
        const std::int32_t count =
            fa2 ? 8 : static_cast<std::int32_t>((item.Last() - aligned) / 8 * 8 + 8);
        if ((fa2 && item.Last() >= aligned + 8) || !admit_.Block(item.station, item.areaCode, aligned, count)) {
            return block;
        }
        block.start = aligned;
        block.count = count;
        return block;
    }

    // Takes the item into the block when the driver admits the larger block
    // and reading across the gap costs no more than an exchange of its own.
    bool Extend(Block& block, const Item& item, bool fa2) {
        const Item& first = *block.items.front();
        if (!Mergeable(first) || !Mergeable(item)) return false;
        const std::uint32_t end = std::max(block.start + static_cast<std::uint32_t>(block.count) - 1, item.Last());
        std::int32_t count = static_cast<std::int32_t>(end - block.start + 1);
        if (IsBitArea(item.areaCode)) {
            if (fa2 && count > 8) return false;
            count = fa2 ? 8 : (count + 7) / 8 * 8;
        }
        if (count > block.count) {
            const double added = Cost(item.station, item.areaCode, count) -
                                 Cost(item.station, item.areaCode, block.count);
            if (added > Cost(item.station, item.areaCode, item.count)) return false;
            if (!admit_.Block(item.station, item.areaCode, block.start, count)) return false;
            block.count = count;
        }
        block.items.push_back(&item);
        return true;
    }

    Transfer Finish(const Block& block) const {
        const Item& first = *block.items.front();
        if (block.items.size() == 1) return AsIs(first);
        Transfer transfer = Empty(first.station, first.areaCode, block.start, block.count);
        transfer.gas = ElementGas(first.station, first.areaCode, block.start);
        transfer.dataType = DataTypeOf(first.areaCode);
        for (const Item* item : block.items) {
            transfer.gates.push_back(
                {item->gate, static_cast<std::int32_t>(item->element - block.start), item->count});
        }
        return transfer;
    }

    Transfer Empty(std::uint32_t station, std::uint32_t areaCode, std::uint32_t element, std::int32_t count) const {
        Transfer transfer;
        transfer.station = station;
        transfer.areaCode = areaCode;
        transfer.element = element;
        transfer.count = count;
        transfer.exchangeMs = Cost(station, areaCode, count);
        return transfer;
    }

    const Driver& driver_;
    const PlanOptions& options_;
    Admission admit_;
    GasOf gasOf_;
};

// Marks the selections of a scan that repeats: a transfer selects when the
// station read before it (the last one of the scan, for the first) differs.
void Predict(Plan& plan, const LineSettings& line) {
    const double selectMs = ExchangeMs(SelectShape(), line);
    plan.scanMs = 0;
    for (std::size_t i = 0; i < plan.transfers.size(); ++i) {
        Transfer& transfer = plan.transfers[i];
        const Transfer& before = plan.transfers[i == 0 ? plan.transfers.size() - 1 : i - 1];
        transfer.selects = before.station != transfer.station;
        transfer.selectMs = transfer.selects ? selectMs : 0.0;
        plan.scanMs += transfer.selectMs + transfer.exchangeMs;
    }
}

// The gate checked as MakePlan checks it; nullopt when the driver refuses it.
std::optional<Item> Checked(const GateRequest& gate, std::size_t index, const Driver& driver) {
    GateDefinition definition{};
    definition.gas = gate.gas.c_str();
    definition.dataType = gate.dataType;
    definition.count = gate.count;
    if (driver.check(gate.count == 1 ? QEL_CHECK_GATE : QEL_CHECK_BLOCK, definition) != QEL_RESULT_DONE) {
        return std::nullopt;
    }
    return Item{index, definition.station, definition.areaCode, definition.element, gate.count, gate.dataType, gate.gas};
}

// The accepted items as transfers: merged by station and area, or as they
// come; then the scan's prediction.
void Arrange(Plan& plan, const std::vector<Item>& items, Planner& planner, const PlanOptions& options) {
    if (!options.merge) {
        for (const Item& item : items) plan.transfers.push_back(planner.AsIs(item));
    } else {
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<const Item*>> groups;
        for (const Item& item : items) groups[{item.station, item.areaCode}].push_back(&item);
        for (auto& [key, group] : groups) {
            std::stable_sort(group.begin(), group.end(), [](const Item* a, const Item* b) {
                return a->element != b->element ? a->element < b->element : a->Last() < b->Last();
            });
            planner.MergeGroup(group, plan.transfers);
        }
    }
    Predict(plan, options.line);
}

}  // namespace

Plan MakePlan(std::span<const GateRequest> gates, const Driver& driver, const PlanOptions& options) {
    Plan plan;
    plan.characterMs = CharacterMs(options.line);
    std::vector<Item> items;
    items.reserve(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (auto item = Checked(gates[i], i, driver)) {
            items.push_back(std::move(*item));
        } else {
            plan.rejected.push_back(i);
        }
    }
    Planner planner(driver, options);
    Arrange(plan, items, planner, options);
    return plan;
}

std::optional<Plan> PlanRun(const Run& run, const Driver& driver, const PlanOptions& options) {
    if (run.count == 0) return Plan{};
    const std::uint32_t lastIndex = run.count - 1;
    const auto first = Checked({run.gas(0), 1, run.dataType}, 0, driver);
    if (!first) return std::nullopt;
    const auto last = lastIndex == 0 ? first : Checked({run.gas(lastIndex), 1, run.dataType}, lastIndex, driver);
    if (!last) return std::nullopt;

    if (last->station != first->station || last->areaCode != first->areaCode ||
        last->element < first->element || last->element - first->element != lastIndex) {
        // Not one stretch of stored numbers: every gate on its own.
        std::vector<GateRequest> gates;
        gates.reserve(run.count);
        for (std::uint32_t i = 0; i < run.count; ++i) gates.push_back({run.gas(i), 1, run.dataType});
        Plan plan = MakePlan(gates, driver, options);
        if (!plan.rejected.empty()) return std::nullopt;
        return plan;
    }

    Plan plan;
    plan.characterMs = CharacterMs(options.line);
    Planner planner(driver, options, [&run](std::size_t gate) { return run.gas(static_cast<std::uint32_t>(gate)); });
    std::vector<Item> items;
    items.reserve(run.count);
    items.push_back(*first);
    planner.Admit().Accepted(*first);
    planner.Admit().Accepted(*last);
    for (std::uint32_t i = 1; i < lastIndex; ++i) {
        const std::uint32_t element = first->element + i;
        if (!planner.Admit().Element(first->station, first->areaCode, element)) return std::nullopt;
        items.push_back({i, first->station, first->areaCode, element, 1, run.dataType, {}});
    }
    if (lastIndex > 0) items.push_back(*last);
    Arrange(plan, items, planner, options);
    return plan;
}

}  // namespace qel::plan
