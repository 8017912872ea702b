// The subdevices an adapter device has registered, by the reference string
// under which clients open them.
#pragma once
#include <portcls.h>

#include <string>
#include <vector>

namespace sim::portcls {

class SubdeviceTable {
 public:
  explicit SubdeviceTable(ULONG maxObjects) : maxObjects_(maxObjects) {}
  ~SubdeviceTable();
  SubdeviceTable(const SubdeviceTable&) = delete;
  SubdeviceTable& operator=(const SubdeviceTable&) = delete;

  // Adds a reference to the subdevice. STATUS_OBJECT_NAME_COLLISION for a
  // name already taken, STATUS_INSUFFICIENT_RESOURCES beyond MaxObjects.
  NTSTATUS Add(const std::u16string& name, PUNKNOWN subdevice);
  // The subdevice a create with this file name opens ("\Name", case-insensitive); null if none.
  PUNKNOWN FindByFileName(PCUNICODE_STRING fileName) const;
  size_t Count() const { return entries_.size(); }
  // Drops every entry and its reference.
  void Clear();

 private:
  struct Entry {
    std::u16string name;
    PUNKNOWN subdevice;
  };
  ULONG maxObjects_;
  std::vector<Entry> entries_;
};

}  // namespace sim::portcls
