// Pool with tags. Every block is tracked so that leaks are reported by tag
// and a second free is caught instead of corrupting memory.
#include <cstdlib>
#include <cstring>

#include "kernel.h"

namespace vk {

namespace {
constexpr size_t kQuarantine = 256;
}

void* Kernel::Allocate(POOL_TYPE type, size_t size, ULONG tag) {
  if (type == PagedPool && current()->irql >= DISPATCH_LEVEL)
    Report(Rule::PagedPoolAtDispatchLevel, "paged pool allocated at DISPATCH_LEVEL");
  if (failPool && (failPoolTag == 0 || failPoolTag == tag)) {
    --failPool;
    return nullptr;
  }
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  std::memset(p, 0xA5, size);  // pool is not zero-filled
  pool[p] = PoolBlock{size, tag, type};
  poolStats.allocations++;
  poolStats.liveBytesByTag[tag] += size;
  poolStats.liveBlocksByTag[tag] += 1;
  return p;
}

void Kernel::Free(void* p, bool checkTag, ULONG tag) {
  if (!p) return;
  auto it = pool.find(p);
  if (it == pool.end()) {
    Report(Rule::PoolDoubleFree, "a pool block was freed that is not allocated (freed twice?)");
    return;
  }
  PoolBlock block = it->second;
  if (checkTag && tag != block.tag)
    Report(Rule::PoolDoubleFree, "pool block freed with tag '" + TagText(tag) + "' but allocated with '" +
                                     TagText(block.tag) + "'");
  auto* begin = static_cast<unsigned char*>(p);
  auto* end = begin + block.size;
  auto inside = [&](const void* q) { return q >= begin && q < end; };
  for (auto& [timer, handle] : timers)
    if (inside(timer)) Report(Rule::TimerFreedWhileSet, "a pool block holding a set timer was freed");
  for (auto& [f, item] : workItems)
    if (item->queued && inside(f)) Report(Rule::WorkItemFreedWhileQueued, "a queued work item was freed");
  for (auto& [object, list] : waiters)
    if (inside(object)) Report(Rule::WaitAtDispatchLevel, "a pool block was freed while a thread waits on an object in it");
  for (auto it2 = lockOrder.begin(); it2 != lockOrder.end();) {
    if (inside(it2->first) || inside(it2->second))
      it2 = lockOrder.erase(it2);
    else
      ++it2;
  }
  pool.erase(it);
  poolStats.frees++;
  poolStats.liveBytesByTag[block.tag] -= block.size;
  if (--poolStats.liveBlocksByTag[block.tag] == 0) {
    poolStats.liveBlocksByTag.erase(block.tag);
    poolStats.liveBytesByTag.erase(block.tag);
  }
  std::memset(p, 0xDD, block.size);
  poolQuarantine.push_back(p);
  if (poolQuarantine.size() > kQuarantine) {
    std::free(poolQuarantine.front());
    poolQuarantine.pop_front();
  }
}

}  // namespace vk

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return vk::Kernel::Get().Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return vk::Kernel::Get().Allocate(PoolType, NumberOfBytes, vk::PoolTag("None"));
}

VOID ExFreePool(PVOID P) { vk::Kernel::Get().Free(P, false, 0); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { vk::Kernel::Get().Free(P, true, Tag); }

}  // extern "C"
