#include <algorithm>
#include <cstring>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/registry/registry_names.h"
#include "sim/kernel/registry/registry_tree.h"

namespace sim::registry {

StoredValue* KeyNode::FindValue(std::u16string_view valueName) {
  std::u16string folded = Fold(valueName);
  for (auto& v : values)
    if (v.folded == folded) return &v;
  return nullptr;
}

KeyNode* KeyNode::FindChild(std::u16string_view childName) {
  auto it = children.find(Fold(childName));
  return it == children.end() ? nullptr : it->second.get();
}

const char* ToString(Result r) {
  switch (r) {
    case Result::kOk: return "ok";
    case Result::kNotFound: return "not found";
    case Result::kKeyDeleted: return "key deleted";
    case Result::kCannotDelete: return "cannot delete";
    case Result::kInvalidName: return "invalid name";
    case Result::kChildMustBeVolatile: return "child must be volatile";
    case Result::kNoMoreEntries: return "no more entries";
  }
  return "?";
}

namespace {

struct WatchState {
  KeyNode* node = nullptr;  // identity only; null once the key is gone
  bool subtree = false;
  uint32_t filter = 0;
  ChangeCallback callback;
  std::recursive_mutex callMutex;  // held while the callback runs
  bool active = true;              // guarded by callMutex
};

struct Firing {
  std::shared_ptr<WatchState> watch;
  uint32_t what;
  bool last;  // the watched key is gone: the watch ends after this call
};
using Pending = std::vector<Firing>;

// The current user's hive holds a SOFTWARE key from the start, as on a
// freshly set up machine.
void AddUserHive(KeyNode* root, std::u16string_view user) {
  detail::AddChild(detail::AddChild(detail::AddChild(root, u"USER", false), user, false), u"SOFTWARE", false);
}

struct Store {
  std::mutex mutex;
  KeyRef root;
  std::map<WatchId, std::shared_ptr<WatchState>> watches;
  WatchId nextWatch = 1;
  std::u16string user = u"S-1-5-21-3623811015-3361044348-30300820-1001";
};

// Never destroyed: other stand-ins may touch the registry from their own
// static destructors.
Store& S() {
  static Store* store = [] {
    auto* s = new Store();
    s->root = detail::NewSkeletonTree();
    AddUserHive(s->root.get(), s->user);
    return s;
  }();
  return *store;
}

bool IsWithin(const KeyNode* node, const KeyNode* ancestor) {
  for (const KeyNode* n = node; n; n = n->parent)
    if (n == ancestor) return true;
  return false;
}

void CollectLocked(KeyNode* changed, uint32_t what, Pending* out) {
  for (auto& [id, w] : S().watches) {
    if (!(w->filter & what)) continue;
    int depth = 0;
    for (KeyNode* n = changed; n; n = n->parent, ++depth) {
      if (n == w->node) {
        if (depth == 0 || w->subtree) out->push_back({w, what, false});
        break;
      }
    }
  }
}

// Watches on keys inside the subtree that is going away fire once and end.
void EndWatchesLocked(KeyNode* subtreeRoot, Pending* out) {
  // They stay registered (matching nothing) until Unwatch, so that Unwatch
  // can still wait for a callback in progress.
  for (auto& [id, w] : S().watches) {
    if (w->node && IsWithin(w->node, subtreeRoot)) {
      out->push_back({w, kNotifyName, true});
      w->node = nullptr;
    }
  }
}

void MarkDeletedLocked(KeyNode* node) {
  for (auto& [folded, child] : node->children) MarkDeletedLocked(child.get());
  node->children.clear();
  node->values.clear();
  node->parent = nullptr;
  node->deleted = true;
}

void FireAll(Pending& pending) {
  for (auto& f : pending) {
    std::lock_guard<std::recursive_mutex> lock(f.watch->callMutex);
    if (!f.watch->active) continue;
    if (f.last) f.watch->active = false;
    f.watch->callback(f.what);
  }
}

bool IsHiveRoot(const KeyNode* node) { return node->parent == nullptr || node->parent->parent == nullptr; }

// Resolves the start node and the remaining components of a path.
Result StartLocked(const KeyRef& base, std::u16string_view path, KeyRef* start,
                   std::vector<std::u16string_view>* components) {
  if (!base) {
    if (path.empty() || path[0] != u'\\') return Result::kInvalidName;
    if (!SplitPath(path.substr(1), components) || components->empty()) return Result::kInvalidName;
    if (!NamesEqual((*components)[0], u"Registry")) return Result::kNotFound;
    components->erase(components->begin());
    *start = S().root;
  } else {
    if (base->deleted) return Result::kKeyDeleted;
    if (!path.empty() && path[0] == u'\\') return Result::kInvalidName;
    if (!SplitPath(path, components)) return Result::kInvalidName;
    *start = base;
  }
  for (auto c : *components)
    if (c.size() > kMaxKeyNameChars) return Result::kInvalidName;
  return Result::kOk;
}

KeyInfo InfoOf(const KeyNode& k) {
  KeyInfo info;
  info.name = k.name;
  info.className = k.className;
  info.lastWriteTime = k.lastWriteTime;
  info.isVolatile = k.isVolatile;
  info.subKeys = static_cast<uint32_t>(k.children.size());
  for (auto& [folded, c] : k.children) {
    info.maxSubKeyNameChars = std::max<uint32_t>(info.maxSubKeyNameChars, static_cast<uint32_t>(c->name.size()));
    info.maxClassChars = std::max<uint32_t>(info.maxClassChars, static_cast<uint32_t>(c->className.size()));
  }
  info.values = static_cast<uint32_t>(k.values.size());
  for (auto& v : k.values) {
    info.maxValueNameChars = std::max<uint32_t>(info.maxValueNameChars, static_cast<uint32_t>(v.value.name.size()));
    info.maxValueDataBytes = std::max<uint32_t>(info.maxValueDataBytes, static_cast<uint32_t>(v.value.data.size()));
  }
  return info;
}

KeyRef NewChildLocked(KeyNode* parent, std::u16string_view name, bool isVolatile, std::u16string_view className) {
  auto child = std::make_shared<KeyNode>();
  child->name = std::u16string(name);
  child->className = std::u16string(className);
  child->parent = parent;
  child->isVolatile = isVolatile;
  child->lastWriteTime = detail::Now();
  parent->children[Fold(name)] = child;
  parent->lastWriteTime = child->lastWriteTime;
  return child;
}

}  // namespace

namespace detail {

std::mutex& StoreMutex() { return S().mutex; }
const KeyRef& RootLocked() { return S().root; }
int64_t Now() { return sim::clock::Now(); }

KeyNode* AddChild(KeyNode* parent, std::u16string_view name, bool isVolatile) {
  if (KeyNode* existing = parent->FindChild(name)) return existing;
  auto child = std::make_shared<KeyNode>();
  child->name = std::u16string(name);
  child->parent = parent;
  child->isVolatile = isVolatile;
  child->lastWriteTime = Now();
  KeyNode* raw = child.get();
  parent->children[Fold(name)] = std::move(child);
  return raw;
}

void PutValue(KeyNode* key, std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
  StoredValue* v = key->FindValue(name);
  if (!v) {
    key->values.push_back({{std::u16string(name), type, {}}, Fold(name)});
    v = &key->values.back();
  }
  v->value.type = type;
  v->value.data = std::move(data);
}

KeyRef NewSkeletonTree() {
  auto root = std::make_shared<KeyNode>();
  root->name = u"REGISTRY";
  root->lastWriteTime = Now();
  KeyNode* machine = AddChild(root.get(), u"MACHINE", false);
  KeyNode* ccs = AddChild(AddChild(machine, u"SYSTEM", false), u"CurrentControlSet", false);
  AddChild(ccs, u"Control", false);
  AddChild(ccs, u"Enum", false);
  AddChild(ccs, u"Services", false);
  AddChild(machine, u"SOFTWARE", false);
  AddChild(AddChild(machine, u"HARDWARE", false), u"DEVICEMAP", false);
  AddChild(root.get(), u"USER", false);
  return root;
}

KeyRef CloneTree(const KeyNode& node) {
  auto copy = std::make_shared<KeyNode>();
  copy->name = node.name;
  copy->className = node.className;
  copy->isVolatile = node.isVolatile;
  copy->lastWriteTime = node.lastWriteTime;
  copy->values = node.values;
  for (auto& [folded, child] : node.children) {
    KeyRef c = CloneTree(*child);
    c->parent = copy.get();
    copy->children[folded] = std::move(c);
  }
  return copy;
}

void ReplaceTree(KeyRef newRoot) {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    AddUserHive(newRoot.get(), S().user);
    EndWatchesLocked(S().root.get(), &pending);
    MarkDeletedLocked(S().root.get());
    S().root = std::move(newRoot);
  }
  FireAll(pending);
}

}  // namespace detail

// ---- key-level operations ----

Result OpenKey(const KeyRef& base, std::u16string_view path, KeyRef* out) {
  std::lock_guard<std::mutex> lock(S().mutex);
  KeyRef cur;
  std::vector<std::u16string_view> comps;
  Result r = StartLocked(base, path, &cur, &comps);
  if (r != Result::kOk) return r;
  for (auto c : comps) {
    auto it = cur->children.find(Fold(c));
    if (it == cur->children.end()) return Result::kNotFound;
    cur = it->second;
  }
  *out = std::move(cur);
  return Result::kOk;
}

Result CreateKey(const KeyRef& base, std::u16string_view path, bool isVolatile, bool createIntermediate, KeyRef* out,
                 bool* created, std::u16string_view className) {
  Pending pending;
  Result r;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    KeyRef cur;
    std::vector<std::u16string_view> comps;
    r = StartLocked(base, path, &cur, &comps);
    if (r != Result::kOk) return r;
    bool isNew = false;
    for (size_t i = 0; i < comps.size() && r == Result::kOk; ++i) {
      auto it = cur->children.find(Fold(comps[i]));
      if (it != cur->children.end()) {
        cur = it->second;
        continue;
      }
      bool last = i + 1 == comps.size();
      if (!last && !createIntermediate) {
        r = Result::kNotFound;
      } else if (cur->isVolatile && !isVolatile) {
        r = Result::kChildMustBeVolatile;
      } else {
        KeyNode* parent = cur.get();
        cur = NewChildLocked(parent, comps[i], isVolatile, last ? className : std::u16string_view{});
        CollectLocked(parent, kNotifyName, &pending);
        isNew = last;
      }
    }
    if (r == Result::kOk) {
      if (created) *created = isNew;
      *out = std::move(cur);
    }
  }
  FireAll(pending);
  return r;
}

Result QueryValue(const KeyRef& key, std::u16string_view name, Value* out) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (key->deleted) return Result::kKeyDeleted;
  StoredValue* v = key->FindValue(name);
  if (!v) return Result::kNotFound;
  *out = v->value;
  return Result::kOk;
}

Result SetValue(const KeyRef& key, std::u16string_view name, uint32_t type, const void* data, size_t size) {
  if (name.size() > kMaxValueNameChars) return Result::kInvalidName;
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (key->deleted) return Result::kKeyDeleted;
    const auto* bytes = static_cast<const uint8_t*>(data);
    detail::PutValue(key.get(), name, type, std::vector<uint8_t>(bytes, bytes + (bytes ? size : 0)));
    key->lastWriteTime = detail::Now();
    CollectLocked(key.get(), kNotifyLastSet, &pending);
  }
  FireAll(pending);
  return Result::kOk;
}

Result DeleteValue(const KeyRef& key, std::u16string_view name) {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (key->deleted) return Result::kKeyDeleted;
    StoredValue* v = key->FindValue(name);
    if (!v) return Result::kNotFound;
    key->values.erase(key->values.begin() + (v - key->values.data()));
    key->lastWriteTime = detail::Now();
    CollectLocked(key.get(), kNotifyLastSet, &pending);
  }
  FireAll(pending);
  return Result::kOk;
}

namespace {

Result DeleteLocked(KeyNode* key, bool tree, Pending* pending) {
  if (key->deleted) return Result::kKeyDeleted;
  if (IsHiveRoot(key)) return Result::kCannotDelete;
  if (!tree && !key->children.empty()) return Result::kCannotDelete;
  KeyNode* parent = key->parent;
  EndWatchesLocked(key, pending);
  CollectLocked(parent, kNotifyName, pending);
  KeyRef keep = parent->children[Fold(key->name)];
  parent->children.erase(Fold(key->name));
  parent->lastWriteTime = detail::Now();
  MarkDeletedLocked(key);
  return Result::kOk;
}

}  // namespace

Result DeleteKey(const KeyRef& key) {
  Pending pending;
  Result r;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    r = DeleteLocked(key.get(), false, &pending);
  }
  FireAll(pending);
  return r;
}

Result EnumSubKey(const KeyRef& key, uint32_t index, KeyInfo* out) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (key->deleted) return Result::kKeyDeleted;
  if (index >= key->children.size()) return Result::kNoMoreEntries;
  auto it = key->children.begin();
  std::advance(it, index);
  *out = InfoOf(*it->second);
  return Result::kOk;
}

Result EnumValue(const KeyRef& key, uint32_t index, Value* out) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (key->deleted) return Result::kKeyDeleted;
  if (index >= key->values.size()) return Result::kNoMoreEntries;
  *out = key->values[index].value;
  return Result::kOk;
}

Result QueryKey(const KeyRef& key, KeyInfo* out) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (key->deleted) return Result::kKeyDeleted;
  *out = InfoOf(*key);
  return Result::kOk;
}

std::u16string KeyPath(const KeyRef& key) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::vector<const KeyNode*> chain;
  for (const KeyNode* n = key.get(); n; n = n->parent) chain.push_back(n);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

bool IsDeleted(const KeyRef& key) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return key->deleted;
}

// ---- path-level convenience ----

bool KeyExists(std::u16string_view path) {
  KeyRef k;
  return OpenKey(nullptr, path, &k) == Result::kOk;
}

bool CreateKeyPath(std::u16string_view path, bool isVolatile) {
  KeyRef k;
  return CreateKey(nullptr, path, isVolatile, true, &k) == Result::kOk;
}

bool DeleteKeyTree(std::u16string_view path) {
  KeyRef k;
  if (OpenKey(nullptr, path, &k) != Result::kOk) return false;
  Pending pending;
  Result r;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    r = DeleteLocked(k.get(), true, &pending);
  }
  FireAll(pending);
  return r == Result::kOk;
}

bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type, const void* data, size_t size) {
  KeyRef k;
  if (CreateKey(nullptr, keyPath, false, true, &k) != Result::kOk) return false;
  return SetValue(k, name, type, data, size) == Result::kOk;
}

bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
  return SetValue(keyPath, name, type, data.data(), data.size());
}

bool SetDword(std::u16string_view keyPath, std::u16string_view name, uint32_t value) {
  return SetValue(keyPath, name, kTypeDword, &value, sizeof value);
}

bool SetQword(std::u16string_view keyPath, std::u16string_view name, uint64_t value) {
  return SetValue(keyPath, name, kTypeQword, &value, sizeof value);
}

bool SetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view value, uint32_t type) {
  std::u16string s(value);
  return SetValue(keyPath, name, type, s.c_str(), (s.size() + 1) * sizeof(char16_t));
}

bool SetMultiString(std::u16string_view keyPath, std::u16string_view name, const std::vector<std::u16string>& value) {
  std::u16string s;
  for (auto& v : value) {
    s += v;
    s += u'\0';
  }
  s += u'\0';
  return SetValue(keyPath, name, kTypeMultiSz, s.data(), s.size() * sizeof(char16_t));
}

std::optional<Value> GetValue(std::u16string_view keyPath, std::u16string_view name) {
  KeyRef k;
  Value v;
  if (OpenKey(nullptr, keyPath, &k) != Result::kOk || QueryValue(k, name, &v) != Result::kOk) return std::nullopt;
  return v;
}

std::optional<uint32_t> GetDword(std::u16string_view keyPath, std::u16string_view name) {
  auto v = GetValue(keyPath, name);
  if (!v || v->type != kTypeDword || v->data.size() != 4) return std::nullopt;
  uint32_t x;
  std::memcpy(&x, v->data.data(), 4);
  return x;
}

std::optional<uint64_t> GetQword(std::u16string_view keyPath, std::u16string_view name) {
  auto v = GetValue(keyPath, name);
  if (!v || v->type != kTypeQword || v->data.size() != 8) return std::nullopt;
  uint64_t x;
  std::memcpy(&x, v->data.data(), 8);
  return x;
}

std::optional<std::u16string> GetString(std::u16string_view keyPath, std::u16string_view name) {
  auto v = GetValue(keyPath, name);
  if (!v || (v->type != kTypeSz && v->type != kTypeExpandSz)) return std::nullopt;
  std::u16string s;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c;
    std::memcpy(&c, &v->data[i], 2);
    if (c == 0) break;
    s += c;
  }
  return s;
}

bool DeleteValue(std::u16string_view keyPath, std::u16string_view name) {
  KeyRef k;
  return OpenKey(nullptr, keyPath, &k) == Result::kOk && DeleteValue(k, name) == Result::kOk;
}

std::vector<std::u16string> SubKeyNames(std::u16string_view keyPath) {
  std::vector<std::u16string> names;
  KeyRef k;
  if (OpenKey(nullptr, keyPath, &k) != Result::kOk) return names;
  KeyInfo info;
  for (uint32_t i = 0; EnumSubKey(k, i, &info) == Result::kOk; ++i) names.push_back(info.name);
  return names;
}

std::vector<std::u16string> ValueNames(std::u16string_view keyPath) {
  std::vector<std::u16string> names;
  KeyRef k;
  if (OpenKey(nullptr, keyPath, &k) != Result::kOk) return names;
  Value v;
  for (uint32_t i = 0; EnumValue(k, i, &v) == Result::kOk; ++i) names.push_back(v.name);
  return names;
}

void Clear() { detail::ReplaceTree(detail::NewSkeletonTree()); }

std::u16string CurrentUserKeyPath() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return u"\\Registry\\User\\" + S().user;
}

void SetCurrentUser(std::u16string_view userName) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().user = std::u16string(userName);
  AddUserHive(S().root.get(), S().user);
}

// ---- isolation ----

struct Snapshot::Data {
  KeyRef root;
};
Snapshot::Snapshot() = default;
Snapshot::~Snapshot() = default;
Snapshot::Snapshot(const Snapshot&) = default;
Snapshot& Snapshot::operator=(const Snapshot&) = default;

Snapshot TakeSnapshot() {
  auto data = std::make_shared<Snapshot::Data>();
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    data->root = detail::CloneTree(*S().root);
  }
  Snapshot s;
  s.data = std::move(data);
  return s;
}

void Restore(const Snapshot& snapshot) {
  if (!snapshot.data) return;
  detail::ReplaceTree(detail::CloneTree(*snapshot.data->root));
}

// ---- change notification ----

WatchId Watch(const KeyRef& key, bool watchSubtree, uint32_t filter, ChangeCallback callback) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (!key || key->deleted) return 0;
  auto w = std::make_shared<WatchState>();
  w->node = key.get();
  w->subtree = watchSubtree;
  w->filter = filter;
  w->callback = std::move(callback);
  WatchId id = S().nextWatch++;
  S().watches[id] = std::move(w);
  return id;
}

WatchId Watch(std::u16string_view keyPath, bool watchSubtree, uint32_t filter, ChangeCallback callback) {
  KeyRef k;
  if (OpenKey(nullptr, keyPath, &k) != Result::kOk) return 0;
  return Watch(k, watchSubtree, filter, std::move(callback));
}

void Unwatch(WatchId id) {
  std::shared_ptr<WatchState> w;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().watches.find(id);
    if (it == S().watches.end()) return;
    w = it->second;
    S().watches.erase(it);
  }
  std::lock_guard<std::recursive_mutex> lock(w->callMutex);
  w->active = false;
}

}  // namespace sim::registry
