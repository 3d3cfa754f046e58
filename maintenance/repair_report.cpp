#include "repair_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "engine/values.h"
#include "os_error.h"

namespace maintenance {
namespace {

// Splits "dir/orders.mdb" into "dir/orders" and ".mdb"; a name without a dot
// (or only a leading one) has no extension.
std::pair<std::string, std::string> StemAndExtension(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string::size_type name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string::size_type dot = path.rfind('.');
  if (dot == std::string::npos || dot <= name_start) return {path, ""};
  return {path.substr(0, dot), path.substr(dot)};
}

std::string Numbered(const std::string& base, int number) {
  if (number <= 1) return base;
  auto [stem, extension] = StemAndExtension(base);
  return stem + "-" + std::to_string(number) + extension;
}

constexpr int kMaxTries = 1000;

engine::Status WriteAllTo(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return OsError(n < 0 ? errno : EIO, "cannot write");
    done += static_cast<std::size_t>(n);
  }
  return engine::Status::Ok();
}

// A copy of SOURCE at the new name TARGET (which this call created empty).
engine::Status CopyInto(const std::string& source, const std::string& target) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return OsError(errno, "cannot read " + source + " to keep it");
  const int out = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
  if (out < 0) {
    const int err = errno;
    close(in);
    return OsError(err, "cannot write " + target);
  }
  engine::Status status;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = OsError(errno, "cannot read " + source + " to keep it");
      break;
    }
    if (n == 0) break;
    status = WriteAllTo(out, buffer.data(), static_cast<std::size_t>(n));
    if (!status.ok()) {
      status = engine::Error(status.error().number(),
                             "cannot write " + target + ": " + status.error().description());
      break;
    }
  }
  struct stat st {};
  if (status.ok() && fstat(in, &st) == 0) fchmod(out, st.st_mode & 0777);
  if (status.ok() && fsync(out) != 0) status = OsError(errno, "cannot flush " + target);
  if (close(out) != 0 && status.ok()) status = OsError(errno, "cannot close " + target);
  close(in);
  return status;
}

}  // namespace

TablesHit TablesHitBy(const std::vector<engine::LossRecord>& losses) {
  TablesHit hit;
  const auto add = [](std::vector<std::string>& list, const std::string& name) {
    if (!name.empty() && std::find(list.begin(), list.end(), name) == list.end()) {
      list.push_back(name);
    }
  };
  for (const engine::LossRecord& loss : losses) {
    switch (loss.kind) {
      case engine::LossKind::kTable:
        add(hit.lost, loss.table_name);
        break;
      case engine::LossKind::kTableName:
        add(hit.renamed, loss.table_name);
        break;
      case engine::LossKind::kRow:
      case engine::LossKind::kValue:
      case engine::LossKind::kDuplicateRow:
      case engine::LossKind::kNullKey:
      case engine::LossKind::kMissingRows:
      case engine::LossKind::kPage:
        add(hit.partly_lost, loss.table_name);
        break;
      default:
        break;
    }
  }
  // A table lost whole is not also partly lost.
  std::erase_if(hit.partly_lost, [&](const std::string& name) {
    return std::find(hit.lost.begin(), hit.lost.end(), name) != hit.lost.end();
  });
  return hit;
}

engine::Status WriteRepairReport(int fd, const std::string& source, const std::string& destination,
                                 const std::string& kept_original, const engine::RepairResult& r) {
  nlohmann::ordered_json j;
  j["source"] = source;
  j["destination"] = destination;
  j["kept_original"] =
      kept_original.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(kept_original);
  j["header_rebuilt"] = r.header_rebuilt;
  j["tables"] = r.stats.tables;
  j["rows_carried_over"] = r.stats.rows;
  j["rows_lost"] = r.counts.rows_lost;
  j["rows_lost_estimated"] = r.counts.rows_lost_estimated;
  j["values_lost"] = r.counts.values_lost;
  j["pages_lost"] = r.counts.pages_lost;
  j["tables_lost"] = r.counts.tables_lost;
  j["tables_renamed"] = r.counts.tables_renamed;
  const TablesHit hit = TablesHitBy(r.losses);
  j["tables_lost_whole"] = hit.lost;
  j["tables_partly_lost"] = hit.partly_lost;
  j["tables_named_anew"] = hit.renamed;
  j["error_table"] =
      r.error_table.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.error_table);
  if (!r.error_table_note.empty()) j["error_table_note"] = r.error_table_note;
  // Text codes worked out from the file's own index entries for characters
  // the built-in tables lack.
  if (r.key_codes.missing != 0) {
    auto& k = j["key_codes"];
    k["characters_missing"] = r.key_codes.missing;
    k["learned"] = r.key_codes.learned;
    k["derived"] = r.key_codes.derived;
    k["derived_dropped"] = r.key_codes.derived_dropped;
    k["general_codes_confirmed"] = r.key_codes.confirmed_general;
    k["jet3_weights_confirmed"] = r.key_codes.weights_confirmed;
    k["unresolved"] = r.key_codes.unresolved;
  }
  const auto dump = [](const nlohmann::ordered_json& v, int indent) {
    return v.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  };
  // The counts as one object, then the losses one line each, written as
  // they are made: a report of many losses is never held whole.
  std::string text = dump(j, 2);
  text.resize(text.size() - 2);  // the closing "\n}"
  text += ",\n  \"losses\": [";
  std::vector<uint8_t> raw;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> long_values;
  for (size_t i = 0; i < r.losses.size(); ++i) {
    const engine::LossRecord& l = r.losses[i];
    if (engine::Status st = r.LoadBytes(l, raw, long_values); !st.ok()) return st;
    nlohmann::ordered_json e;
    e["kind"] = std::string(engine::LossKindName(l.kind));
    e["table"] = l.table_name;
    e["table_id"] = l.table;
    if (l.position) {
      e["page"] = l.position->page;
      e["row"] = l.position->row;
    }
    if (!l.column.empty()) e["column"] = l.column;
    if (l.kind == engine::LossKind::kMissingRows) e["estimated_rows"] = l.missing;
    e["reason"] = l.reason;
    std::string b64;
    engine::AppendBase64(raw, b64);
    e["raw"] = std::move(b64);
    if (!long_values.empty()) {
      auto& values = e["long_values"] = nlohmann::ordered_json::object();
      for (const auto& [column, bytes] : long_values) {
        std::string v64;
        engine::AppendBase64(bytes, v64);
        values[column] = std::move(v64);
      }
    }
    text += i == 0 ? "\n    " : ",\n    ";
    text += dump(e, -1);
    if (text.size() >= (1u << 20)) {
      if (engine::Status st = WriteAllTo(fd, text.data(), text.size()); !st.ok()) return st;
      text.clear();
    }
  }
  text += r.losses.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return WriteAllTo(fd, text.data(), text.size());
}

engine::Status WriteNewFile(const std::string& path,
                            const std::function<engine::Status(int)>& fill) {
  // Private until FILL gives it its mode.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) {
      return engine::Error(engine::ErrorCode::kDatabaseExists,
                           path + " already exists; it was left alone");
    }
    return OsError(errno, "cannot create " + path);
  }
  engine::Status status = fill(fd);
  if (status.ok() && fsync(fd) != 0) status = OsError(errno, "cannot flush");
  if (close(fd) != 0 && status.ok()) status = OsError(errno, "cannot close");
  if (!status.ok()) {
    unlink(path.c_str());
    return engine::Error(status.error().number(),
                         "cannot write " + path + ": " + status.error().description());
  }
  return engine::Status::Ok();
}

engine::Status WriteNewTextFile(const std::string& path, const std::string& text) {
  return WriteNewFile(path, [&](int fd) { return WriteAllTo(fd, text.data(), text.size()); });
}

std::string StampedName(const std::string& path, const std::string& tag, std::time_t when,
                        const char* extension) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "-%Y%m%d-%H%M%S", &local);
  auto [stem, own_extension] = StemAndExtension(path);
  return stem + tag + stamp + (extension != nullptr ? std::string(extension) : own_extension);
}

engine::Result<std::string> CreateFirstFree(const std::string& base) {
  for (int number = 1; number <= kMaxTries; ++number) {
    const std::string name = Numbered(base, number);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      close(fd);
      return name;
    }
    if (errno != EEXIST) return OsError(errno, "cannot create " + name);
  }
  return engine::Error(engine::ErrorCode::kDatabaseExists,
                       "every name like " + base + " is taken; nothing was written");
}

engine::Result<std::string> WriteFirstFree(const std::string& base, const std::string& text) {
  return WriteFirstFree(base, [&](int fd) { return WriteAllTo(fd, text.data(), text.size()); });
}

engine::Result<std::string> WriteFirstFree(const std::string& base,
                                           const std::function<engine::Status(int)>& fill) {
  for (int number = 1; number <= kMaxTries; ++number) {
    const std::string name = Numbered(base, number);
    engine::Status st = WriteNewFile(name, fill);
    if (st.ok()) return name;
    if (!st.error().is(engine::ErrorCode::kDatabaseExists)) return st.error();
  }
  return engine::Error(engine::ErrorCode::kDatabaseExists,
                       "every name like " + base + " is taken; nothing was written");
}

engine::Result<std::string> KeepOriginal(const std::string& path, std::time_t when) {
  const std::string base = StampedName(path, ".damaged", when);
  for (int number = 1; number <= kMaxTries; ++number) {
    const std::string name = Numbered(base, number);
    if (link(path.c_str(), name.c_str()) == 0) return name;
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != ENOTSUP &&
        errno != ENOSYS) {
      return OsError(errno, "cannot keep the damaged original as " + name);
    }
    // No hard links here: an exclusive new file, filled with a copy.
    auto created = CreateFirstFree(name);
    if (!created.ok()) return created.error();
    if (engine::Status st = CopyInto(path, created.value()); !st.ok()) {
      unlink(created.value().c_str());
      return st.error();
    }
    return created.value();
  }
  return engine::Error(engine::ErrorCode::kDatabaseExists,
                       "every name like " + base + " is taken; the original was left as it was");
}

}  // namespace maintenance
