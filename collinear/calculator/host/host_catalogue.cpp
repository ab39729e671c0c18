#include <collinear/calculator/host/host_catalogue.h>

#include <mutex>
#include <utility>
#include <vector>

#include <collinear/calculator/host/com_ptr.h>

namespace collinear {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::pair<GUID, ComPtr<IUnknown>>> entries;
};

Registry& GetRegistry() {
  static auto* registry = new Registry;  // never destroyed: no exit order
  return *registry;
}

}  // namespace

void HostCatalogue::Register(const GUID& clsid, IUnknown* catalogue) {
  if (!catalogue) {
    Unregister(clsid);
    return;
  }
  ComPtr<IUnknown> held(catalogue);
  ComPtr<IUnknown> old;  // released outside the lock
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto& e : r.entries) {
    if (e.first == clsid) {
      old = std::move(e.second);
      e.second = std::move(held);
      return;
    }
  }
  r.entries.emplace_back(clsid, std::move(held));
}

bool HostCatalogue::Unregister(const GUID& clsid) {
  ComPtr<IUnknown> old;
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.entries.begin(); it != r.entries.end(); ++it) {
    if (it->first == clsid) {
      old = std::move(it->second);
      r.entries.erase(it);
      return true;
    }
  }
  return false;
}

void HostCatalogue::Clear() {
  std::vector<std::pair<GUID, ComPtr<IUnknown>>> old;
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  old.swap(r.entries);
}

IUnknown* HostCatalogue::Find(const GUID& clsid) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto& e : r.entries)
    if (e.first == clsid) return ComPtr<IUnknown>(e.second).detach();
  return nullptr;
}

}  // namespace collinear
