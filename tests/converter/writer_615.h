// Test-only writer of version-615 configuration files: task streams built
// byte by byte, and whole files written through platform/storage.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/storage.h"
#include "platform/text.h"

namespace writer_615 {

// One task as a version-615 stream holds it; defaults are those of a task
// section without keys.
struct Task {
  uint32_t component_flags = 0x01;
  uint32_t task_flags = 0x90A11418;
  uint32_t resident_flags = 0;
  int32_t priority = 0;
  uint32_t reserved[4] = {0, 0, 0, 0};
  std::string name;
  std::string report_file_name = "*";
  std::string virus_found_msg = "Virus was found !!!";
  std::string chained_task;
  std::vector<std::string> types, areas, send_to, resident_exclude_files;
  std::vector<uint8_t> area_flags, type_flags;
};

inline void PutLe32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline void PutText(std::string* out, const std::string& text) {
  PutLe32(out, static_cast<uint32_t>(text.size()));
  out->append(text);
}

inline std::string StreamBytes(const Task& t) {
  std::string out;
  PutLe32(&out, t.component_flags);
  PutLe32(&out, t.task_flags);
  PutLe32(&out, t.resident_flags);
  PutLe32(&out, static_cast<uint32_t>(t.priority));
  for (uint32_t r : t.reserved) PutLe32(&out, r);
  for (const std::string* text : {&t.name, &t.report_file_name, &t.virus_found_msg,
                                  &t.chained_task}) {
    PutText(&out, *text);
  }
  for (const auto* list : {&t.types, &t.areas, &t.send_to, &t.resident_exclude_files}) {
    PutLe32(&out, static_cast<uint32_t>(list->size()));
    for (const std::string& item : *list) PutText(&out, item);
  }
  for (const auto* bytes : {&t.area_flags, &t.type_flags}) {
    PutLe32(&out, static_cast<uint32_t>(bytes->size()));
    for (uint8_t b : *bytes) out.push_back(static_cast<char>(b));
  }
  return out;
}

// A compound file described as storages and streams by '/'-joined paths.
struct Tree {
  std::vector<std::string> storages;                          // created in order
  std::vector<std::pair<std::string, std::string>> streams;  // path, bytes
};

// The skeleton of a version-615 file: "_Version_", "_Zarin_", "_Common_"
// with "_ReadOnly_"; `password` (stored bytes) goes to "_Zarin_/cc012".
inline Tree Skeleton(uint32_t version = 615, const std::string& password = "") {
  Tree tree;
  tree.storages = {"_Zarin_", "_Common_", "_Common_/_ReadOnly_"};
  std::string v;
  PutLe32(&v, version);
  tree.streams.push_back({"_Version_", v});
  if (!password.empty()) {
    std::string stored;
    PutLe32(&stored, static_cast<uint32_t>(password.size()));
    stored += password;
    tree.streams.push_back({"_Zarin_/cc012", stored});
  }
  return tree;
}

inline void AddTask(Tree* tree, const std::string& path, const Task& task) {
  tree->streams.push_back({path, StreamBytes(task)});
}

namespace detail {
inline HRESULT OpenPath(platform::Storage* root, const std::string& folder,
                        std::vector<std::unique_ptr<platform::Storage>>* chain) {
  platform::Storage* at = root;
  size_t start = 0;
  while (start < folder.size()) {
    size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    std::unique_ptr<platform::Storage> next;
    HRESULT hr = at->OpenStorage(platform::AnsiToWide(folder.substr(start, end - start)),
                                 platform::kStorageMode, &next);
    if (FAILED(hr)) return hr;
    at = next.get();
    chain->push_back(std::move(next));
    start = end + 1;
  }
  return S_OK;
}
}  // namespace detail

// Writes the tree into a new file at `path`. Returns S_OK or the failure.
inline HRESULT WriteTree(const std::string& path, const Tree& tree) {
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::CreateStorageFile(path, platform::kStorageMode, &root);
  if (FAILED(hr)) return hr;
  auto split = [](const std::string& p, std::string* folder, std::string* name) {
    size_t slash = p.rfind('/');
    *folder = slash == std::string::npos ? "" : p.substr(0, slash);
    *name = slash == std::string::npos ? p : p.substr(slash + 1);
  };
  for (const std::string& storage_path : tree.storages) {
    std::string folder, name;
    split(storage_path, &folder, &name);
    std::vector<std::unique_ptr<platform::Storage>> chain;
    hr = detail::OpenPath(root.get(), folder, &chain);
    if (FAILED(hr)) return hr;
    platform::Storage* parent = chain.empty() ? root.get() : chain.back().get();
    std::unique_ptr<platform::Storage> created;
    hr = parent->CreateStorage(platform::AnsiToWide(name), platform::kStorageMode, &created);
    created.reset();
    while (!chain.empty()) chain.pop_back();
    if (FAILED(hr)) return hr;
  }
  for (const auto& [stream_path, bytes] : tree.streams) {
    std::string folder, name;
    split(stream_path, &folder, &name);
    std::vector<std::unique_ptr<platform::Storage>> chain;
    hr = detail::OpenPath(root.get(), folder, &chain);
    if (FAILED(hr)) return hr;
    platform::Storage* parent = chain.empty() ? root.get() : chain.back().get();
    std::unique_ptr<platform::Stream> stream;
    hr = parent->CreateStream(platform::AnsiToWide(name), platform::kStorageMode, &stream);
    uint32_t written = 0;
    if (SUCCEEDED(hr) && !bytes.empty()) {
      hr = stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
    }
    stream.reset();
    while (!chain.empty()) chain.pop_back();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace writer_615
