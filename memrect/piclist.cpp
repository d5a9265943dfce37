// Picture lists: an owned rectangle of depth 32 read as a flat array of
// entries, entry 0 the member count n and entries 1 to n the member handles.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "generic/keywords.h"
#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/rect_store.h"

namespace vantor::store {

namespace {

namespace err = vantor::err;

constexpr char kOperations[] = "Create Clean Free Push PushHandle  Count Get Pop GetLabel SubList";
enum Operation {
  kCreate = 1, kClean, kFree, kPush, kPushHandle, kCount, kGet, kPop, kGetLabel, kSubList
};

// A list's entries, with the count clamped to what the block holds, so that a
// list whose pixels were overwritten never leads outside its block.
struct ListView {
  int32_t* entries = nullptr;
  int64_t capacity = 0;  // entries the block holds, count included
  int32_t n = 0;
};

bool ViewList(const Table& t, int32_t list, ListView* v) {
  const Record* r = t.Find(list);
  if (r == nullptr || !IsPicList(*r)) return false;
  v->capacity = std::min<int64_t>(static_cast<int64_t>(r->width) * r->height, r->storage / 4);
  if (v->capacity < 1) return false;
  v->entries = reinterpret_cast<int32_t*>(r->address);
  v->n = std::clamp<int64_t>(v->entries[0], 0, v->capacity - 1);
  return true;
}

// Makes room for one more entry, doubling the list's height as often as needed.
bool EnsureRoom(Table& t, int32_t list, ListView* v) {
  while (v->n + 4 >= v->capacity) {
    const Record* r = t.Find(list);
    const int64_t height = 2 * static_cast<int64_t>(r->height);
    if (height > INT32_MAX) return err::Fail(err::kParameter, "list %d is full", list);
    if (RedimensionLocked(t, list, 0, 0, static_cast<int32_t>(height)) != 1) return false;
    if (!ViewList(t, list, v)) return false;
  }
  return true;
}

void Append(const Table& t, int32_t list, int32_t member) {
  ListView v;
  ViewList(t, list, &v);
  v.entries[++v.n] = member;
  v.entries[0] = v.n;
}

// The label of the member at position n: the list's name then n + 1000 in
// decimal with its first digit replaced by '_' (1 gives "_001").
void MemberLabel(const Record& listRecord, int32_t n, char* out) {
  char number[16];
  std::snprintf(number, sizeof number, "%d", n + 1000);
  number[0] = '_';
  std::string label = listRecord.label;
  label += number;
  label.resize(std::min<size_t>(label.size(), kLabelMax));
  std::memcpy(out, label.c_str(), label.size() + 1);
}

int32_t CreateList(Table& t, const char* name) {
  const int32_t h = CreateOwnedLocked(t, 32, 64, 1, 4);
  if (h < 0) return -1;
  t.Find(h)->listMarker = kPicListMarker;
  SetLabelLocked(t, h, name);
  return h;
}

// Frees every member in order; a member that is a list has its own members
// freed first and is freed after them. Lists are emptied before their members
// are visited, so a list that contains itself, directly or not, ends the walk
// instead of looping. No recursion: nesting may be deep. The walk is planned
// first without changing anything, so that a shortage of memory (the plan's
// own lists) leaves every list and member as it was; the plan is then carried
// out without allocating.
void CleanLocked(Table& t, int32_t list) {
  struct Frame {
    int32_t list;
    std::vector<int32_t> members;
    size_t next;
  };
  std::unordered_set<int32_t> taken, freed;
  std::vector<int32_t> emptied;                 // lists whose entries are cleared
  std::vector<std::pair<int32_t, bool>> frees;  // in order: handle, freed as a list
  auto take = [&](int32_t l) {
    std::vector<int32_t> members;
    ListView v;
    if (!taken.insert(l).second || !ViewList(t, l, &v)) return members;
    members.assign(v.entries + 1, v.entries + 1 + v.n);
    emptied.push_back(l);
    return members;
  };
  auto alive = [&](int32_t h) { return t.Find(h) != nullptr && freed.count(h) == 0; };
  std::vector<Frame> stack;
  stack.push_back({list, take(list), 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.members.size()) {
      const int32_t m = top.members[top.next++];
      if (!alive(m)) continue;
      if (IsPicList(*t.Find(m))) {
        std::vector<int32_t> members = take(m);
        stack.push_back({m, std::move(members), 0});
      } else {
        frees.emplace_back(m, false);
        freed.insert(m);
      }
      continue;
    }
    const int32_t done = top.list;
    stack.pop_back();
    if (stack.empty()) break;  // the list being cleaned stays
    if (alive(done)) {
      frees.emplace_back(done, true);
      freed.insert(done);
    }
  }
  for (int32_t l : emptied) {
    ListView v;
    if (ViewList(t, l, &v)) std::fill(v.entries, v.entries + 1 + v.n, 0);
  }
  for (const auto& [h, isList] : frees) {
    Record* r = t.Find(h);
    if (r == nullptr) continue;
    if (isList) {
      if (!IsPicList(*r)) continue;
      r->listMarker = 0;
    }
    FreePlainLocked(t, h);
  }
}

int32_t FreeListLocked(Table& t, int32_t list) {
  Record* r = t.Find(list);
  if (r == nullptr || !IsPicList(*r)) return -1;
  r->listMarker = 0;
  return FreePlainLocked(t, list);
}

// Depth-first search of the members for a label; sub-lists are searched in
// place and each only once.
int32_t FindLabelLocked(const Table& t, int32_t list, const char* text) {
  struct Frame {
    int32_t list;
    int32_t next;
  };
  std::vector<Frame> stack{{list, 1}};
  std::unordered_set<int32_t> seen{list};
  while (!stack.empty()) {
    ListView v;
    if (!ViewList(t, stack.back().list, &v) || stack.back().next > v.n) {
      stack.pop_back();
      continue;
    }
    const int32_t m = v.entries[stack.back().next++];
    const Record* r = t.Find(m);
    if (r == nullptr) continue;
    if (IsPicList(*r)) {
      if (seen.insert(m).second) stack.push_back({m, 1});
    } else if (LabelEquals(r->label, text)) {
      return m;
    }
  }
  return 0;
}

// A handle a list may take as a member: valid and not the list itself.
bool Joinable(const Table& t, int32_t list, intptr_t arg) {
  if (arg < INT32_MIN || arg > INT32_MAX) {
    return err::Fail(err::kParameter, "%lld is not a handle", static_cast<long long>(arg));
  }
  const auto h = static_cast<int32_t>(arg);
  if (h == list) return err::Fail(err::kParameter, "list %d cannot hold itself", list);
  return t.Find(h) != nullptr || err::FailHandle(h);
}

int32_t PicListLocked(Table& t, int32_t list, uint32_t op, intptr_t arg) {
  if (op == kCreate) return CreateList(t, reinterpret_cast<const char*>(arg));
  ListView v;
  if (!ViewList(t, list, &v)) {
    return err::Fail(err::kParameter, "handle %d is not a picture list", list), -1;
  }
  switch (op) {
    case kClean:
      CleanLocked(t, list);
      return list;
    case kFree:
      return FreeListLocked(t, list);
    case kPush: {
      if (!Joinable(t, list, arg) || !EnsureRoom(t, list, &v)) return -1;
      const auto h = static_cast<int32_t>(arg);
      const int32_t copy = CopyAsLocked(t, h);
      if (copy < 0) return -1;
      Append(t, list, copy);
      char label[kLabelMax + 1];
      MemberLabel(*t.Find(list), v.n + 1, label);
      SetLabelLocked(t, copy, label);
      return copy;
    }
    case kPushHandle: {
      if (!Joinable(t, list, arg) || !EnsureRoom(t, list, &v)) return -1;
      const auto h = static_cast<int32_t>(arg);
      Append(t, list, h);
      return h;
    }
    case kCount:
      return v.n;
    case kGet:
      if (arg >= 1 && arg <= v.n) return v.entries[arg];
      return err::Fail(err::kParameter, "index %lld is not in 1..%d", static_cast<long long>(arg),
                       v.n),
             -1;
    case kPop: {
      if (v.n == 0) return 0;
      const int32_t h = v.entries[v.n];
      v.entries[v.n] = 0;
      v.entries[0] = v.n - 1;
      return h;
    }
    case kGetLabel: {
      const char* text = reinterpret_cast<const char*>(arg);
      return text == nullptr ? 0 : FindLabelLocked(t, list, text);
    }
    case kSubList: {
      if (!EnsureRoom(t, list, &v)) return -1;
      const char* name = reinterpret_cast<const char*>(arg);
      char label[kLabelMax + 1];
      if (name == nullptr) {
        MemberLabel(*t.Find(list), v.n + 1, label);
        name = label;
      }
      const int32_t sub = CreateList(t, name);
      if (sub < 0) return -1;
      Append(t, list, sub);
      return sub;
    }
    default:
      return -1;
  }
}

}  // namespace

bool IsPicList(const Record& r) {
  return r.listMarker == kPicListMarker && r.depth == 32 && IsOwned(r);
}

int32_t FreePicListLocked(Table& t, int32_t list) {
  CleanLocked(t, list);
  return FreeListLocked(t, list);
}

}  // namespace vantor::store

using namespace vantor::store;

extern "C" int32_t mrPicList(int32_t list, const char* operation, intptr_t arg) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (operation == nullptr) return err::Fail(err::kParameter, "no operation given"), -1;
    const uint32_t op = WordInText(kOperations, nullptr, 0, operation, 0);
    if (op == 0) {
      return err::Fail(err::kParameter, "operation '%.40s' is not one of %s", operation,
                       kOperations),
             -1;
    }
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    return PicListLocked(t, list, op, arg);
  });
}
