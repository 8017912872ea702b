// The one registry of the simulated machine, shared by the kernel routines
// (ZwXxx, RtlXxx, IoOpenDeviceRegistryKey), the user-mode registry API
// (HKEY_LOCAL_MACHINE = \Registry\Machine, HKEY_CURRENT_USER =
// \Registry\User\<user>), tests and troxsim.
//
// Names are case-insensitive and case-preserving. Absolute paths start with
// "\Registry". Every function is thread-safe. This header depends only on the
// standard library so that kernel and user-mode stand-ins can both include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

// Value types (the REG_xxx numbers).
inline constexpr uint32_t kTypeNone = 0;
inline constexpr uint32_t kTypeSz = 1;
inline constexpr uint32_t kTypeExpandSz = 2;
inline constexpr uint32_t kTypeBinary = 3;
inline constexpr uint32_t kTypeDword = 4;
inline constexpr uint32_t kTypeDwordBigEndian = 5;
inline constexpr uint32_t kTypeLink = 6;
inline constexpr uint32_t kTypeMultiSz = 7;
inline constexpr uint32_t kTypeQword = 11;

// Longest key name component and value name, in characters.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;

enum class Result {
  kOk,
  kNotFound,             // key or value does not exist
  kKeyDeleted,           // the key was deleted while a reference to it was held
  kCannotDelete,         // key has subkeys, or is a hive root
  kInvalidName,          // empty or over-long component, or a bad absolute path
  kChildMustBeVolatile,  // non-volatile key below a volatile one
  kNoMoreEntries,        // enumeration index past the end
};
const char* ToString(Result r);

struct Value {
  std::u16string name;  // as stored (case preserved); empty = the default value
  uint32_t type = kTypeNone;
  std::vector<uint8_t> data;
};

struct KeyInfo {
  std::u16string name;       // last path component, as stored
  std::u16string className;  // class given at creation
  int64_t lastWriteTime = 0; // sim::clock units (100 ns)
  uint32_t subKeys = 0;
  uint32_t maxSubKeyNameChars = 0;
  uint32_t maxClassChars = 0;
  uint32_t values = 0;
  uint32_t maxValueNameChars = 0;
  uint32_t maxValueDataBytes = 0;
  bool isVolatile = false;
};

// A reference to one key. It stays usable after the key is deleted; every
// operation on it then answers kKeyDeleted.
class KeyNode;
using KeyRef = std::shared_ptr<KeyNode>;

// ---- key-level operations (the basis of the kernel and user-mode APIs) ----
// base == nullptr: path is absolute ("\Registry\..."). Otherwise path is
// relative to base (no leading backslash); an empty path names base itself.
Result OpenKey(const KeyRef& base, std::u16string_view path, KeyRef* out);
// Creates the last component only, unless createIntermediate (then every
// missing component, with the same volatility). *created tells whether the
// final key is new.
Result CreateKey(const KeyRef& base, std::u16string_view path, bool isVolatile, bool createIntermediate,
                 KeyRef* out, bool* created = nullptr, std::u16string_view className = {});
Result QueryValue(const KeyRef& key, std::u16string_view name, Value* out);
Result SetValue(const KeyRef& key, std::u16string_view name, uint32_t type, const void* data, size_t size);
Result DeleteValue(const KeyRef& key, std::u16string_view name);
Result DeleteKey(const KeyRef& key);  // kCannotDelete while it has subkeys
// Subkeys enumerate in case-insensitive name order, values in the order they
// were first set.
Result EnumSubKey(const KeyRef& key, uint32_t index, KeyInfo* out);
Result EnumValue(const KeyRef& key, uint32_t index, Value* out);
Result QueryKey(const KeyRef& key, KeyInfo* out);
std::u16string KeyPath(const KeyRef& key);  // full path as stored
bool IsDeleted(const KeyRef& key);

// ---- path-level convenience (tests, troxsim, set-up code) ----
// Writes create every missing key on the way.
bool KeyExists(std::u16string_view path);
bool CreateKeyPath(std::u16string_view path, bool isVolatile = false);
bool DeleteKeyTree(std::u16string_view path);  // the key and everything below it
bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type, const void* data, size_t size);
bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data);
bool SetDword(std::u16string_view keyPath, std::u16string_view name, uint32_t value);
bool SetQword(std::u16string_view keyPath, std::u16string_view name, uint64_t value);
// Stores the characters plus one terminating zero (REG_SZ or REG_EXPAND_SZ).
bool SetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view value,
               uint32_t type = kTypeSz);
// Each string zero-terminated, then one more zero.
bool SetMultiString(std::u16string_view keyPath, std::u16string_view name, const std::vector<std::u16string>& value);
std::optional<Value> GetValue(std::u16string_view keyPath, std::u16string_view name);
std::optional<uint32_t> GetDword(std::u16string_view keyPath, std::u16string_view name);  // REG_DWORD of 4 bytes
std::optional<uint64_t> GetQword(std::u16string_view keyPath, std::u16string_view name);  // REG_QWORD of 8 bytes
// REG_SZ / REG_EXPAND_SZ up to the first zero (or the end of odd data).
std::optional<std::u16string> GetString(std::u16string_view keyPath, std::u16string_view name);
bool DeleteValue(std::u16string_view keyPath, std::u16string_view name);
std::vector<std::u16string> SubKeyNames(std::u16string_view keyPath);
std::vector<std::u16string> ValueNames(std::u16string_view keyPath);

// Back to the empty machine: the keys Control, Enum and Services under
// \Registry\Machine\SYSTEM\CurrentControlSet, \Registry\Machine\SOFTWARE,
// \Registry\Machine\HARDWARE\DEVICEMAP and \Registry\User\<current user>\SOFTWARE.
// Keys held open become deleted.
void Clear();

// The user whose hive HKEY_CURRENT_USER and RTL_REGISTRY_USER name.
std::u16string CurrentUserKeyPath();  // "\Registry\User\<user>"
void SetCurrentUser(std::u16string_view userName);

// ---- persistence ----
// Text form: a header line, then for each non-volatile key "[<path>]" and one
// line per value: "name"=dword:0000002a, qword:..., sz:"...", expand_sz:"...",
// multi_sz:"a","b", or hex(<type>):01,02 for anything else (or for strings
// that are not well formed). @ is the default value. Strings escape \ " and
// control characters; non-ASCII is UTF-8.
std::string SaveToString();
bool LoadFromString(const std::string& text, std::string* error = nullptr);  // replaces the contents
bool SaveToFile(const std::string& file, std::string* error = nullptr);
bool LoadFromFile(const std::string& file, std::string* error = nullptr);

// ---- isolation ----
class Snapshot {
 public:
  Snapshot();
  ~Snapshot();
  Snapshot(const Snapshot&);
  Snapshot& operator=(const Snapshot&);
  struct Data;
  std::shared_ptr<const Data> data;
};
Snapshot TakeSnapshot();
void Restore(const Snapshot& snapshot);  // keys held open become deleted

// Restores the registry as it was at construction.
class ScopedRegistry {
 public:
  ScopedRegistry() : saved_(TakeSnapshot()) {}
  ~ScopedRegistry() { Restore(saved_); }
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;

 private:
  Snapshot saved_;
};

// ---- change notification (the basis of RegNotifyChangeKeyValue) ----
inline constexpr uint32_t kNotifyName = 0x1;        // subkey added or deleted, or the key itself deleted
inline constexpr uint32_t kNotifyAttributes = 0x2;
inline constexpr uint32_t kNotifyLastSet = 0x4;     // value set or deleted
inline constexpr uint32_t kNotifySecurity = 0x8;
// Runs on the thread that made the change, after the store lock is released;
// `what` is one kNotify bit. It may call back into the store.
using ChangeCallback = std::function<void(uint32_t what)>;
using WatchId = uint64_t;
// Watches `key` (and its whole subtree if watchSubtree) for the changes in
// filter. 0 when the key is deleted. When the key itself is deleted the
// callback runs once with kNotifyName, whatever the filter, and the watch ends.
WatchId Watch(const KeyRef& key, bool watchSubtree, uint32_t filter, ChangeCallback callback);
WatchId Watch(std::u16string_view keyPath, bool watchSubtree, uint32_t filter, ChangeCallback callback);
void Unwatch(WatchId id);  // after it returns the callback is not running and will not run

}  // namespace sim::registry
