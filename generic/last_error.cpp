// The per-thread error record: pending cause of the operation under way and
// the text and kind of the last failure.
#include "generic/last_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vantor::err {
namespace {

constexpr size_t kCauseBytes = 384;
constexpr size_t kTextBytes = 512;

struct Record {
  int depth = 0;             // exported operations under way in this thread
  int32_t pendingKind = 0;   // cause of the failure under way
  char pending[kCauseBytes] = {};
  int32_t kind = 0;          // the last failure
  char text[kTextBytes] = {};
};

thread_local Record t_record;

void SetPending(int32_t kind, const char* text) {
  Record& r = t_record;
  if (r.pendingKind == kMemory && kind != kMemory) return;  // the shortage is the real cause
  r.pendingKind = kind;
  std::snprintf(r.pending, sizeof r.pending, "%s", text);
}

}  // namespace

bool Fail(int32_t kind, const char* format, ...) {
  char buffer[kCauseBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (t_record.depth == 0) {  // outside any operation: the cause is the whole story
    t_record.kind = kind;
    std::snprintf(t_record.text, sizeof t_record.text, "%s", buffer);
  } else {
    SetPending(kind, buffer);
  }
  return false;
}

bool Report(const char* operation, int32_t kind, const char* format, ...) {
  char buffer[kCauseBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (t_record.depth == 0) {
    t_record.kind = kind;
    std::snprintf(t_record.text, sizeof t_record.text, "%.100s: %.380s", operation, buffer);
  } else {
    SetPending(kind, buffer);
  }
  return false;
}

bool FailMemory() { return Fail(kMemory, "out of memory"); }

bool FailHandle(int32_t handle) {
  return Fail(kParameter, "handle %d is not a valid image", static_cast<int>(handle));
}

bool FailDepth(int32_t handle, int32_t depth) {
  return Fail(kParameter, "image %d has depth %d, which this operation does not take",
              static_cast<int>(handle), static_cast<int>(depth));
}

bool FailSizes(int32_t a, int32_t b) {
  return Fail(kParameter, "images %d and %d differ in size", static_cast<int>(a),
              static_cast<int>(b));
}

int32_t PendingKind() { return t_record.pendingKind; }

namespace detail {

void Enter() {
  Record& r = t_record;
  if (r.depth++ == 0) {
    r.pendingKind = 0;
    r.pending[0] = '\0';
  }
}

void Leave(const char* operation, bool failed) {
  Record& r = t_record;
  --r.depth;
  if (!failed) return;
  if (r.pendingKind == 0) {
    if (r.depth > 0) {
      char inner[kCauseBytes];
      std::snprintf(inner, sizeof inner, "%.100s failed", operation);
      SetPending(kFailed, inner);
    }
  }
  if (r.depth > 0) return;
  r.kind = r.pendingKind != 0 ? r.pendingKind : kFailed;
  if (r.pending[0] != '\0') {
    std::snprintf(r.text, sizeof r.text, "%.100s: %.380s", operation, r.pending);
  } else {
    std::snprintf(r.text, sizeof r.text, "%.100s: failed", operation);
  }
}

void Caught(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    FailMemory();
  } catch (const std::exception& x) {
    Fail(kFailed, "%s", x.what());
  } catch (...) {
    Fail(kFailed, "unexpected exception");
  }
}

}  // namespace detail
}  // namespace vantor::err

extern "C" {

const char* mrLastError(void) { return vantor::err::t_record.text; }
int32_t mrLastErrorKind(void) { return vantor::err::t_record.kind; }
void mrClearLastError(void) {
  vantor::err::t_record.kind = 0;
  vantor::err::t_record.text[0] = '\0';
}

}
