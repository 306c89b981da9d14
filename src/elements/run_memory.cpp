#include "elements/run_memory.hpp"

#include <new>

#include "elements/literals.hpp"

namespace qgx {

RunItem run_item(const ElementHeader* rec, const ElementVTable* vt) noexcept {
    RunItem item;
    Pos width = 0;
    if (vt == char_vtable()) {
        item.table = static_cast<const CharElement*>(rec)->members.flags;
        item.bytes = true;
        width = 1;
    } else if (vt == literal_vtable()) {
        const auto* l = static_cast<const LiteralElement*>(rec);
        width = l->text.size();
        item.byte = l->first_byte;
        item.bytes = width == 1;
    } else if (vt == keyword_vtable()) {
        // A one-byte keyword also looks at the byte after it: not a run of bytes.
        width = static_cast<const KeywordElement*>(rec)->match_len;
    } else if (vt == caseless_literal_vtable()) {
        width = static_cast<const CaselessLiteralElement*>(rec)->lower_text.size();
    } else if (vt == caseless_keyword_vtable()) {
        width = static_cast<const CaselessKeywordElement*>(rec)->match_len;
    }
    if (width == 0) return RunItem{};
    item.record = rec;
    item.vt = vt;
    item.width = width;
    return item;
}

RememberedPhases::Run* RememberedPhases::of(Pos phase) noexcept {
    if (runs.empty() || (used + 1) * 2 > runs.size()) {
        std::vector<Run> fresh;
        try {
            fresh.resize(runs.empty() ? 8 : runs.size() * 2);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        const size_t mask = fresh.size() - 1;
        for (const Run& r : runs) {
            if (!r.used) continue;
            size_t i = (r.phase * size_t{0x9E3779B1u}) & mask;
            while (fresh[i].used) i = (i + 1) & mask;
            fresh[i] = r;
        }
        runs.swap(fresh);
    }
    const size_t mask = runs.size() - 1;
    size_t i = (phase * size_t{0x9E3779B1u}) & mask;
    while (runs[i].used && runs[i].phase != phase) i = (i + 1) & mask;
    if (!runs[i].used) {
        runs[i] = Run{phase, 0, 0, true, false};
        ++used;
    }
    return &runs[i];
}

Pos remembered_phase_run_end(const RunItem& item, Text t, Pos from, Pos at) noexcept {
    RememberedPhases::Run* slot = nullptr;
    if (MatchContext* c = current_context())
        if (RememberedPhases* m = c->scratch<RememberedPhases>(item.record, t)) slot = m->of(at % item.width);
    if (slot && slot->known && slot->from <= at && at <= slot->end) return slot->end;
    // A known run ahead of `at` in the same phase: reading reaches its start
    // unless an item fails before, and then ends where it ends.
    const bool ahead = slot && slot->known && at < slot->from;
    const Pos end = fixed_run_read(item, t, at, ahead ? slot->from : t.len);
    tls_long_run_bytes += (end - at) / item.width;
    if (!slot) return end;
    if (ahead && end == slot->from) {
        slot->from = from;
        return slot->end;
    }
    slot->from = from;
    slot->end = end;
    slot->known = true;
    return end;
}

}  // namespace qgx
