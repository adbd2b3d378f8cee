// Private to platform/host/registry.
// Entries of a key (its subkeys, its values): kept in creation order, found by name without
// regard to case in logarithmic time, so that a key with many entries fills in n log n.
#pragma once

#include <algorithm>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "host/rtl/wide_text.h"

namespace host::registry::store {

// Orders names as their case-folded forms, without making those forms.
struct FoldedLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char16_t x, char16_t y) { return rtl::Fold(x) < rtl::Fold(y); });
  }
};

template <typename Item>
class NamedEntries {
 public:
  struct Entry {
    std::u16string name;  // as first created
    Item item;
  };

  Item* Find(std::u16string_view name) {
    auto found = index_.find(name);
    return found == index_.end() ? nullptr : &found->second->item;
  }

  // The entry of that name; a new one with a default item goes at the end.
  Item& FindOrAdd(std::u16string_view name) {
    auto slot = index_.lower_bound(name);
    if (slot != index_.end() && !FoldedLess{}(name, slot->first)) return slot->second->item;
    auto entry = entries_.insert(entries_.end(), Entry{std::u16string(name), Item{}});
    index_.emplace_hint(slot, entry->name, entry);
    return entry->item;
  }

  bool Remove(std::u16string_view name) {
    auto found = index_.find(name);
    if (found == index_.end()) return false;
    auto entry = found->second;
    index_.erase(found);
    entries_.erase(entry);
    return true;
  }

  // Empties the entries and hands them over in creation order.
  std::list<Entry> TakeAll() {
    index_.clear();
    return std::exchange(entries_, {});
  }

  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto rbegin() const { return entries_.rbegin(); }
  auto rend() const { return entries_.rend(); }

 private:
  using Position = typename std::list<Entry>::iterator;
  std::list<Entry> entries_;
  std::map<std::u16string_view, Position, FoldedLess> index_;  // views of the entries' names
};

}  // namespace host::registry::store
