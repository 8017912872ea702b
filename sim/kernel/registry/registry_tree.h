// Internal to the registry store: the key tree and the store lock. Only the
// store's own sources include this.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "sim/kernel/registry/registry_store.h"

namespace sim::registry {

struct StoredValue {
  Value value;
  std::u16string folded;
};

class KeyNode {
 public:
  std::u16string name;
  std::u16string className;
  KeyNode* parent = nullptr;  // null for the root and for deleted keys
  bool deleted = false;
  bool isVolatile = false;
  int64_t lastWriteTime = 0;
  std::map<std::u16string, KeyRef> children;  // by folded name
  std::vector<StoredValue> values;            // in the order first set

  StoredValue* FindValue(std::u16string_view name);
  KeyNode* FindChild(std::u16string_view name);
};

namespace detail {

std::mutex& StoreMutex();
// The current root ("\Registry"); caller holds StoreMutex().
const KeyRef& RootLocked();
// Builds a tree holding only the empty-machine skeleton.
KeyRef NewSkeletonTree();
// Deep copy without watches; the copy's root has no parent.
KeyRef CloneTree(const KeyNode& node);
// Replaces the whole tree: every key of the old one becomes deleted and its
// watches fire. Takes the lock itself.
void ReplaceTree(KeyRef newRoot);

// Unlocked building blocks for a tree nobody else sees yet (loading).
KeyNode* AddChild(KeyNode* parent, std::u16string_view name, bool isVolatile);
void PutValue(KeyNode* key, std::u16string_view name, uint32_t type, std::vector<uint8_t> data);

int64_t Now();

}  // namespace detail
}  // namespace sim::registry
