// The virtual-disk libraries (libqcow, libvhdi, libvmdk) share one shape:
// a handle opened by file name, a media size, positioned reads, and a parent
// (backing file) named by the child that the caller must open and attach.
// ChainSource holds a child and the chain of its parents; each format gives
// its calls as a traits struct:
//
//   using Handle; using Error;
//   static constexpr const char* kName;
//   static int Initialize(Handle**, Error**);  Free(Handle**);
//   static int Open(Handle*, const std::string& path, Error**);  Close(Handle*);
//   static int MediaSize(Handle*, uint64_t*, Error**);
//   static ssize_t Read(Handle*, void*, size_t, uint64_t offset, Error**);
//   static int ParentName(Handle*, std::string*, Error**);  1 named, 0 none, -1 error
//   static int SetParent(Handle*, Handle*, Error**);
//   static std::string Refusal(Handle*);   why a variant is not read, or empty
//   static std::vector<std::string> Files(Handle*, const std::string& path);
//   static std::string ErrorText(Error*&);  frees the error
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "source/library_source.h"

namespace velmora::source {

template <typename Traits>
class ChainSource : public LibrarySource {
 public:
  using Handle = typename Traits::Handle;
  using Error = typename Traits::Error;

  // Handles in chain order, the child first; each is closed and freed here.
  struct Chain {
    std::vector<Handle*> handles;
    ~Chain() {
      for (Handle*& handle : handles) {
        Traits::Close(handle);
        Traits::Free(&handle);
      }
    }
  };

  ChainSource(std::string path, uint64_t media_size, std::unique_ptr<Chain> chain, std::vector<std::string> files)
      : LibrarySource(std::move(path), media_size), chain_(std::move(chain)) {
    for (std::string& file : files) AddFile(std::move(file));
  }

 protected:
  int64_t LibraryRead(uint64_t offset, std::span<uint8_t> out, std::string* why) override {
    Error* error = nullptr;
    const ssize_t got = Traits::Read(chain_->handles.front(), out.data(), out.size(), offset, &error);
    if (got < 0) *why = Traits::ErrorText(error);
    return got;
  }

 private:
  std::unique_ptr<Chain> chain_;
};

// Opens path and, link by link, the parents it names; the failure line
// names the file that failed.
template <typename Traits>
OpenedEvidence OpenChain(const std::string& path) {
  using Handle = typename Traits::Handle;
  using Error = typename Traits::Error;
  const std::string kind = Traits::kName;
  auto chain = std::make_unique<typename ChainSource<Traits>::Chain>();
  std::vector<std::string> files;
  Error* error = nullptr;

  // Opens one link into the chain; empty on success, else the failure line.
  auto open_link = [&](const std::string& file) -> std::string {
    Handle* handle = nullptr;
    if (Traits::Initialize(&handle, &error) != 1)
      return FailureLine(file, "cannot open " + kind, Traits::ErrorText(error));
    if (Traits::Open(handle, file, &error) != 1) {
      std::string why = Traits::ErrorText(error);
      Traits::Close(handle);  // what part of it did open
      Traits::Free(&handle);
      return FailureLine(file, "cannot open " + kind, why);
    }
    chain->handles.push_back(handle);
    if (std::string refusal = Traits::Refusal(handle); !refusal.empty()) return FailureLine(file, refusal, "");
    for (std::string& extent : Traits::Files(handle, file)) files.push_back(std::move(extent));
    return {};
  };

  if (std::string failed = open_link(path); !failed.empty()) return {nullptr, failed};
  std::string current = path;
  for (int depth = 0;; ++depth) {
    std::string named;
    const int has_parent = Traits::ParentName(chain->handles.back(), &named, &error);
    if (has_parent < 0) return {nullptr, FailureLine(current, "cannot read the parent's name", Traits::ErrorText(error))};
    if (has_parent == 0) break;
    if (depth == kMaxParentDepth) return {nullptr, FailureLine(current, "too many parents", "")};
    std::string parent;
    std::string why;
    for (const std::string& candidate : ParentCandidates(current, named)) {
      const size_t before = chain->handles.size();
      std::string failed = open_link(candidate);
      if (failed.empty()) {
        parent = candidate;
        break;
      }
      // A candidate that opened and was then refused is the parent, and fails.
      if (chain->handles.size() > before) return {nullptr, failed};
      why = failed;
    }
    if (parent.empty()) return {nullptr, FailureLine(current, "cannot open its parent " + named, why)};
    Handle* child = chain->handles[chain->handles.size() - 2];
    if (Traits::SetParent(child, chain->handles.back(), &error) != 1)
      return {nullptr, FailureLine(current, "cannot attach parent " + parent, Traits::ErrorText(error))};
    files.push_back(parent);
    current = parent;
  }
  uint64_t media_size = 0;
  if (Traits::MediaSize(chain->handles.front(), &media_size, &error) != 1 || media_size == 0)
    return {nullptr, FailureLine(path, kind + " media size unknown", Traits::ErrorText(error))};
  return {std::make_unique<ChainSource<Traits>>(path, media_size, std::move(chain), std::move(files)), {}};
}

}  // namespace velmora::source
