// The task record and its version-616 stream form.

#include "builder/task_record.h"

#include <cstring>

#include "platform/little_endian.h"

namespace builder {

namespace {

void PutLe32(uint8_t** p, uint32_t v) {
  platform::Put32(*p, v);
  *p += 4;
}

void PutText(uint8_t** p, const std::string& text) {
  PutLe32(p, static_cast<uint32_t>(text.size()));
  if (!text.empty()) std::memcpy(*p, text.data(), text.size());
  *p += text.size();
}

uint32_t TextSize(const std::string& text) { return 4 + static_cast<uint32_t>(text.size()); }

uint32_t ListSize(const TaskList& list) {
  uint32_t size = 4;
  for (const std::string& item : list) size += TextSize(item);
  return size;
}

// Reads forward through a task stream's bytes, never past `end_`.
class StreamCursor {
 public:
  StreamCursor(const uint8_t* data, size_t size) : pos_(data), end_(data + size) {}

  bool ReadLe32(uint32_t* v) {
    if (end_ - pos_ < 4) return false;
    *v = platform::Get32(pos_);
    pos_ += 4;
    return true;
  }

  // A length and that many bytes, at most kMaxTextLength of them.
  bool ReadText(std::string* text) {
    uint32_t length;
    if (!ReadLe32(&length)) return false;
    if (length > kMaxTextLength || static_cast<size_t>(end_ - pos_) < length) return false;
    text->assign(reinterpret_cast<const char*>(pos_), length);
    pos_ += length;
    return true;
  }

  // A count and that many texts, each put at the head of `list`. Every
  // item takes at least 4 bytes, so a large count stops at the end.
  bool ReadList(TaskList* list) {
    uint32_t count;
    if (!ReadLe32(&count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      std::string item;
      if (!ReadText(&item)) return false;
      list->push_front(std::move(item));
    }
    return true;
  }

 private:
  const uint8_t* pos_;
  const uint8_t* end_;
};

bool ParseFields(StreamCursor* in, TaskRecord* record) {
  uint32_t header[8];
  for (uint32_t& word : header) {
    if (!in->ReadLe32(&word)) return false;
  }
  record->ComponentFlags = header[0];
  record->TaskFlags = header[1];
  record->ResidentFlags = header[2];
  record->Priority = static_cast<int32_t>(header[3]);
  record->Reserved1 = header[4];
  record->Reserved2[0] = header[5];
  record->Reserved2[1] = header[6];
  record->Reserved2[2] = header[7];
  return in->ReadText(&record->Name) && in->ReadText(&record->ReportFileName) &&
         in->ReadText(&record->VirusFoundMsg) && in->ReadText(&record->ChainedTask) &&
         in->ReadList(&record->Types) && in->ReadList(&record->Areas) &&
         in->ReadList(&record->SendTo) && in->ReadList(&record->ResidentExcludeFiles);
}

bool ListFits(const TaskList& list) {
  for (const std::string& item : list) {
    if (item.size() > kMaxTextLength) return false;
  }
  return true;
}

}  // namespace

void TaskRecord::Clear() {
  ComponentFlags = 0;
  TaskFlags = 0;
  ResidentFlags = 0;
  Priority = 0;
  Reserved1 = 0;
  Reserved2[0] = Reserved2[1] = Reserved2[2] = 0;
  Name.clear();
  ReportFileName.clear();
  VirusFoundMsg.clear();
  ChainedTask.clear();
  Types.clear();
  Areas.clear();
  SendTo.clear();
  ResidentExcludeFiles.clear();
  StreamName.clear();
}

bool FitsFields(const TaskRecord& record) {
  return record.Name.size() <= kMaxTextLength &&
         record.ReportFileName.size() <= kMaxTextLength &&
         record.VirusFoundMsg.size() <= kMaxTextLength &&
         record.ChainedTask.size() <= kMaxTextLength && ListFits(record.Types) &&
         ListFits(record.Areas) && ListFits(record.SendTo) &&
         ListFits(record.ResidentExcludeFiles);
}

uint32_t SerializedSize(const TaskRecord& record) {
  return kTaskHeaderSize + TextSize(record.Name) + TextSize(record.ReportFileName) +
         TextSize(record.VirusFoundMsg) + TextSize(record.ChainedTask) +
         ListSize(record.Types) + ListSize(record.Areas) + ListSize(record.SendTo) +
         ListSize(record.ResidentExcludeFiles);
}

void Serialize(const TaskRecord& record, uint8_t* buffer) {
  uint8_t* p = buffer;
  PutLe32(&p, record.ComponentFlags);
  PutLe32(&p, record.TaskFlags);
  PutLe32(&p, record.ResidentFlags);
  PutLe32(&p, static_cast<uint32_t>(record.Priority));
  PutLe32(&p, record.Reserved1);
  for (uint32_t word : record.Reserved2) PutLe32(&p, word);
  for (const std::string* text :
       {&record.Name, &record.ReportFileName, &record.VirusFoundMsg, &record.ChainedTask}) {
    PutText(&p, *text);
  }
  for (const TaskList* list :
       {&record.Types, &record.Areas, &record.SendTo, &record.ResidentExcludeFiles}) {
    PutLe32(&p, static_cast<uint32_t>(list->size()));
    for (const std::string& item : *list) PutText(&p, item);
  }
}

bool ParseTaskStream(const uint8_t* data, size_t size, TaskRecord* record) {
  StreamCursor in(data, size);
  if (ParseFields(&in, record)) return true;
  record->Clear();
  return false;
}

std::vector<std::string> DifferingFields(const TaskRecord& a, const TaskRecord& b) {
  std::vector<std::string> fields;
  auto differ = [&fields](bool different, const char* name) {
    if (different) fields.emplace_back(name);
  };
  differ(a.ComponentFlags != b.ComponentFlags, "ComponentFlags");
  differ(a.TaskFlags != b.TaskFlags, "TaskFlags");
  differ(a.ResidentFlags != b.ResidentFlags, "ResidentFlags");
  differ(a.Priority != b.Priority, "Priority");
  differ(a.Reserved1 != b.Reserved1 || a.Reserved2[0] != b.Reserved2[0] ||
             a.Reserved2[1] != b.Reserved2[1] || a.Reserved2[2] != b.Reserved2[2],
         "Reserved");
  differ(a.Name != b.Name, "Name");
  differ(a.ReportFileName != b.ReportFileName, "ReportFileName");
  differ(a.VirusFoundMsg != b.VirusFoundMsg, "VirusFoundMsg");
  differ(a.ChainedTask != b.ChainedTask, "ChainedTask");
  differ(a.Types != b.Types, "Types");
  differ(a.Areas != b.Areas, "Areas");
  differ(a.SendTo != b.SendTo, "SendTo");
  differ(a.ResidentExcludeFiles != b.ResidentExcludeFiles, "ResidentExcludeFiles");
  return fields;
}

}  // namespace builder
