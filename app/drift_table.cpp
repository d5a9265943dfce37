// The program's CSV read back for --apply: RFC 4180 records (quoted fields
// may hold commas, quotes and line ends), columns found by their header name.
#include "app/drift_table.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/run_params.h"

namespace vantor::app {
namespace {

struct Record {
  std::vector<std::string> fields;
  int32_t line = 0;
};

// Splits text into records; false with *error (the line) for a quote left open.
bool Records(const std::string& text, std::vector<Record>* out, int32_t* badLine) {
  int32_t line = 1;
  size_t i = 0;
  while (i < text.size()) {
    Record r;
    r.line = line;
    std::string field;
    bool more = true;
    while (more) {
      field.clear();
      if (i < text.size() && text[i] == '"') {
        const int32_t opened = line;
        ++i;
        for (;;) {
          if (i >= text.size()) {
            *badLine = opened;
            return false;
          }
          const char c = text[i++];
          if (c == '"') {
            if (i < text.size() && text[i] == '"') {
              field += '"';
              ++i;
              continue;
            }
            break;
          }
          if (c == '\n') ++line;
          field += c;
        }
      }
      while (i < text.size() && text[i] != ',' && text[i] != '\n') field += text[i++];
      if (!field.empty() && field.back() == '\r') field.pop_back();
      r.fields.push_back(field);
      if (i < text.size() && text[i] == ',') {
        ++i;
      } else {
        more = false;
        if (i < text.size()) ++i;  // the line end
        ++line;
      }
    }
    const bool blank = r.fields.size() == 1 && r.fields[0].empty();
    if (!blank) out->push_back(std::move(r));
  }
  return true;
}

}  // namespace

double AsInCsv(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", value);
  return std::strtod(text, nullptr);
}

// The largest table read: millions of frames' lines.
constexpr uintmax_t kMaxTableBytes = uintmax_t{256} << 20;

bool ReadDriftTable(const std::string& path, std::vector<DriftRow>* rows, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot read the drift table: " + std::strerror(errno);
    return false;
  }
  // A table of frames is small: a device, a folder or a huge file is refused
  // before it is read (it could hang the run or take all memory).
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  const auto bytes = ec ? 0 : std::filesystem::file_size(path, ec);
  if (ec || !std::filesystem::is_regular_file(status) || bytes > kMaxTableBytes) {
    *error = path + ": not a drift table: " +
             (ec || !std::filesystem::is_regular_file(status) ? std::string("not a regular file")
                                                              : "larger than 256 MiB");
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  std::vector<Record> records;
  int32_t bad = 0;
  auto fail = [&](int32_t line, const std::string& why) {
    *error = path + " line " + std::to_string(line) + ": " + why;
    return false;
  };
  if (!Records(all.str(), &records, &bad)) return fail(bad, "a quoted field is never closed");
  if (records.empty()) return fail(1, "the file is empty; give the CSV a run wrote with --csv");
  const std::vector<std::string>& header = records[0].fields;
  auto column = [&](const char* name) {
    const auto it = std::find(header.begin(), header.end(), name);
    return it == header.end() ? -1 : static_cast<int>(it - header.begin());
  };
  const int cf = column("frame"), cx = column("dx_first"), cy = column("dy_first"),
            cq = column("quality");
  if (cf < 0 || cx < 0 || cy < 0)
    return fail(records[0].line, std::string("the header has no column ") +
                                     (cf < 0 ? "frame" : cx < 0 ? "dx_first" : "dy_first") +
                                     " (a CSV the program wrote with --csv has them)");
  const char* const matrixNames[4] = {"a11_first", "a12_first", "a21_first", "a22_first"};
  int cm[4];
  int matrixColumns = 0;
  for (int i = 0; i < 4; ++i) matrixColumns += (cm[i] = column(matrixNames[i])) >= 0 ? 1 : 0;
  if (matrixColumns != 0 && matrixColumns != 4)
    return fail(records[0].line, "the header has some of a11_first, a12_first, a21_first and "
                                 "a22_first but not all four");
  rows->clear();
  for (size_t k = 1; k < records.size(); ++k) {
    const Record& r = records[k];
    if (r.fields.size() != header.size())
      return fail(r.line, std::to_string(r.fields.size()) + " fields where the header has " +
                              std::to_string(header.size()));
    DriftRow row;
    row.line = r.line;
    const auto frame = StrToInt(r.fields[cf]);
    if (!frame || *frame < 1)
      return fail(r.line, "frame '" + r.fields[cf] + "' is not a whole number of at least 1");
    row.frame = *frame;
    const auto dx = StrToFloat(r.fields[cx], '.'), dy = StrToFloat(r.fields[cy], '.');
    if (!dx || !dy)
      return fail(r.line, "dx_first '" + r.fields[cx] + "' or dy_first '" + r.fields[cy] +
                              "' is not a number");
    row.dxFirst = *dx;
    row.dyFirst = *dy;
    row.hasMatrix = matrixColumns == 4;
    for (int i = 0; i < 4 && row.hasMatrix; ++i) {
      const auto v = StrToFloat(r.fields[cm[i]], '.');
      if (!v || !std::isfinite(*v))
        return fail(r.line, std::string(matrixNames[i]) + " '" + r.fields[cm[i]] +
                                "' is not a number");
      row.matrixFirst[i] = *v;
    }
    row.failed = cq >= 0 && r.fields[cq] == "failed";
    rows->push_back(row);
  }
  std::stable_sort(rows->begin(), rows->end(),
                   [](const DriftRow& a, const DriftRow& b) { return a.frame < b.frame; });
  for (size_t k = 1; k < rows->size(); ++k)
    if ((*rows)[k].frame == (*rows)[k - 1].frame)
      return fail((*rows)[k].line, "frame " + std::to_string((*rows)[k].frame) +
                                       " comes twice (also on line " +
                                       std::to_string((*rows)[k - 1].line) + ")");
  return true;
}

}  // namespace vantor::app
