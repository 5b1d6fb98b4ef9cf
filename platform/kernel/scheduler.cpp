// Threads of the emulated system and the clock.
//
// Every thread is a cooperative fiber on the one OS thread that runs the
// scheduler. A fiber runs until it blocks; the scheduler then picks the next
// ready fiber with the seeded generator, runs queued DPCs first, and when no
// fiber is ready jumps the virtual clock to the next timed event. A run is
// therefore reproducible from its seed and costs no wall time for waiting.
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "kernel.h"

#if defined(__SANITIZE_ADDRESS__)
#define VK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_ASAN 1
#endif
#endif

#ifdef VK_ASAN
#include <sanitizer/common_interface_defs.h>
#define START_SWITCH(save, bottom, size) __sanitizer_start_switch_fiber((save), (bottom), (size))
#define FINISH_SWITCH(save, bottom, size) __sanitizer_finish_switch_fiber((save), (bottom), (size))
static constexpr size_t kFiberStack = 1024 * 1024;
#else
#define START_SWITCH(save, bottom, size) ((void)0)
#define FINISH_SWITCH(save, bottom, size) ((void)0)
static constexpr size_t kFiberStack = 256 * 1024;
#endif

namespace vk {

namespace {
Nanos WallNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

Context* Kernel::current() {
  if (running_ && !drainingDpcs_) return running_;
  return &schedulerContext_;
}

Fiber* Kernel::currentFiber() { return drainingDpcs_ ? nullptr : running_; }

void Kernel::CreateFiber(std::string name, std::function<void()> body) {
  auto fiber = std::make_unique<Fiber>();
  fiber->name = std::move(name);
  fiber->body = std::move(body);
  fiber->stackSize = kFiberStack;
  fiber->stack = mmap(nullptr, fiber->stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fiber->stack == MAP_FAILED) {
    std::fprintf(stderr, "vk: cannot map a thread stack\n");
    std::abort();
  }
  getcontext(&fiber->context);
  fiber->context.uc_stack.ss_sp = fiber->stack;
  fiber->context.uc_stack.ss_size = fiber->stackSize;
  fiber->context.uc_link = nullptr;
  auto address = reinterpret_cast<std::uintptr_t>(fiber.get());
  makecontext(&fiber->context, reinterpret_cast<void (*)()>(&Kernel::FiberEntry), 2, unsigned(address & 0xFFFFFFFFu),
              unsigned(address >> 32));
  fiber->state = Fiber::State::Ready;
  ready_.push_back(fiber.get());
  fibers_.push_back(std::move(fiber));
}

void Kernel::FiberEntry(unsigned lo, unsigned hi) {
  auto* fiber = reinterpret_cast<Fiber*>((std::uintptr_t(hi) << 32) | lo);
  Kernel& k = Get();
  FINISH_SWITCH(nullptr, &k.schedulerStackBottom_, &k.schedulerStackSize_);
  try {
    if (!fiber->abort) fiber->body();
  } catch (const FiberAbort&) {
  }
  fiber->body = nullptr;
  fiber->state = Fiber::State::Done;
  k.SwitchToScheduler();
}

void Kernel::SwitchTo(Fiber* fiber) {
  running_ = fiber;
  fiber->state = Fiber::State::Running;
  START_SWITCH(&schedulerFakeStack_, fiber->stack, fiber->stackSize);
  swapcontext(&schedulerUc_, &fiber->context);
  FINISH_SWITCH(schedulerFakeStack_, nullptr, nullptr);
  running_ = nullptr;
  if (fiber->state == Fiber::State::Done) DestroyFiber(fiber);
}

void Kernel::SwitchToScheduler() {
  Fiber* fiber = running_;
  [[maybe_unused]] bool done = fiber->state == Fiber::State::Done;
  START_SWITCH(done ? nullptr : &fiber->fakeStack, schedulerStackBottom_, schedulerStackSize_);
  swapcontext(&fiber->context, &schedulerUc_);
  FINISH_SWITCH(fiber->fakeStack, &schedulerStackBottom_, &schedulerStackSize_);
}

void Kernel::DestroyFiber(Fiber* fiber) {
  munmap(fiber->stack, fiber->stackSize);
  for (auto it = fibers_.begin(); it != fibers_.end(); ++it) {
    if (it->get() == fiber) {
      fibers_.erase(it);
      break;
    }
  }
}

void Kernel::Block(const void* object, std::string what) {
  Fiber* fiber = currentFiber();
  fiber->state = Fiber::State::Blocked;
  fiber->waitObject = object;
  fiber->waitWhat = std::move(what);
  SwitchToScheduler();
  fiber->waitObject = nullptr;
  if (fiber->abort) throw FiberAbort{};
}

void Kernel::Wake(Fiber* fiber, NTSTATUS result) {
  if (fiber->state != Fiber::State::Blocked) return;
  if (fiber->waitTimeout) {
    Cancel(fiber->waitTimeout);
    fiber->waitTimeout = 0;
  }
  if (fiber->waitObject) {
    auto it = waiters.find(fiber->waitObject);
    if (it != waiters.end()) {
      std::erase(it->second, fiber);
      if (it->second.empty()) waiters.erase(it);
    }
  }
  fiber->waitResult = result;
  fiber->state = Fiber::State::Ready;
  ready_.push_back(fiber);
}

EventQueue::Handle Kernel::Schedule(Nanos at, std::function<void()> fn) {
  std::uint64_t handle = nextHandle_++;
  if (at < now_) at = now_;
  timed_.emplace(std::make_pair(at, handle), std::move(fn));
  timedIndex_[handle] = at;
  return handle;
}

void Kernel::Cancel(EventQueue::Handle handle) {
  auto it = timedIndex_.find(handle);
  if (it == timedIndex_.end()) return;
  timed_.erase(std::make_pair(it->second, handle));
  timedIndex_.erase(it);
}

void Kernel::QueueDpc(PKDPC dpc) { dpcs_.push_back(dpc); }

bool Kernel::RemoveDpc(PKDPC dpc) {
  for (auto it = dpcs_.begin(); it != dpcs_.end(); ++it) {
    if (*it == dpc) {
      dpcs_.erase(it);
      return true;
    }
  }
  return false;
}

void Kernel::DrainDpcs() {
  if (drainingDpcs_) return;
  drainingDpcs_ = true;
  KIRQL savedIrql = schedulerContext_.irql;
  while (!dpcs_.empty()) {
    PKDPC dpc = dpcs_.front();
    dpcs_.pop_front();
    dpc->Inserted = FALSE;
    schedulerContext_.irql = DISPATCH_LEVEL;
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    if (schedulerContext_.irql != DISPATCH_LEVEL)
      Report(Rule::DispatchIrqlChanged, "a DPC routine returned at another IRQL than DISPATCH_LEVEL");
    if (!schedulerContext_.heldLocks.empty()) {
      Report(Rule::SpinLockNotHeld, "a DPC routine returned holding a spin lock");
      schedulerContext_.heldLocks.clear();
    }
  }
  schedulerContext_.irql = savedIrql;
  drainingDpcs_ = false;
}

// Runs timed events (device interrupts, timer expiries) on behalf of the
// current code, as a processor would while it busy-waits.
void Kernel::RunEventsUntil(Nanos limit, bool inFiber) {
  for (;;) {
    DrainDpcs();
    if (timed_.empty() || timed_.begin()->first.first > limit) break;
    auto node = timed_.extract(timed_.begin());
    timedIndex_.erase(node.key().second);
    if (node.key().first > now_) now_ = node.key().first;
    bool saved = drainingDpcs_;
    drainingDpcs_ = true;  // events run on the scheduler's context at DISPATCH_LEVEL
    KIRQL savedIrql = schedulerContext_.irql;
    schedulerContext_.irql = DISPATCH_LEVEL;
    node.mapped()();
    schedulerContext_.irql = savedIrql;
    drainingDpcs_ = saved;
  }
  if (now_ < limit) now_ = limit;
  (void)inFiber;
}

void Kernel::Stall(Nanos duration) { RunEventsUntil(now_ + duration, running_ != nullptr); }

void Kernel::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posts_.push_back(std::move(fn));
  }
  postCv_.notify_one();
}

void Kernel::DrainPosts() {
  std::vector<std::function<void()>> posts;
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posts.swap(posts_);
  }
  for (auto& fn : posts) fn();
}

bool Kernel::RunLoop(const std::function<bool()>& done) {
  bool wasRunning = loopRunning;
  loopRunning = true;
  for (;;) {
    if (options.realTime) now_ = std::max(now_, WallNanos() - wallStart_);
    DrainPosts();
    DrainDpcs();
    if (done()) break;
    if (!ready_.empty()) {
      size_t index = ready_.size() == 1 ? 0 : size_t(rng() % ready_.size());
      Fiber* fiber = ready_[index];
      ready_.erase(ready_.begin() + long(index));
      SwitchTo(fiber);
      continue;
    }
    if (options.realTime) {
      std::unique_lock<std::mutex> lock(postMutex_);
      if (posts_.empty()) {
        Nanos wait = 50 * kMillisecond;
        if (!timed_.empty()) wait = std::min(wait, timed_.begin()->first.first - now_);
        if (wait > 0) postCv_.wait_for(lock, std::chrono::nanoseconds(wait));
      }
      lock.unlock();
      now_ = std::max(now_, WallNanos() - wallStart_);
      if (!timed_.empty() && timed_.begin()->first.first <= now_) RunEventsUntil(now_, false);
      continue;
    }
    if (!timed_.empty()) {
      RunEventsUntil(timed_.begin()->first.first, false);
      continue;
    }
    loopRunning = wasRunning;
    return false;
  }
  loopRunning = wasRunning;
  return true;
}

void Kernel::UnwindFibers() {
  // Abort every fiber that has not finished so that its stack unwinds.
  for (;;) {
    Fiber* victim = nullptr;
    for (auto& f : fibers_) {
      if (f->state != Fiber::State::Done && f.get() != running_) {
        victim = f.get();
        break;
      }
    }
    if (!victim) break;
    victim->abort = true;
    if (victim->state == Fiber::State::Blocked) Wake(victim, STATUS_CANCELLED);
    std::erase(ready_, victim);
    SwitchTo(victim);
  }
  ready_.clear();
}

}  // namespace vk
