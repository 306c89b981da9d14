#include "elements/run_memory.hpp"

#include "elements/literals.hpp"

namespace qgx {

OneByteItem one_byte_item(const ElementHeader* rec, const ElementVTable* vt) noexcept {
    OneByteItem item;
    if (vt == char_vtable()) {
        item.record = rec;
        item.table = static_cast<const CharElement*>(rec)->members.flags;
    } else if (vt == literal_vtable()) {
        const auto* l = static_cast<const LiteralElement*>(rec);
        if (l->text.size() != 1) return item;
        item.record = rec;
        item.byte = l->first_byte;
    }
    return item;
}

}  // namespace qgx
