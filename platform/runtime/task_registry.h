// The registry of running add-in tasks: one small text file per task under
// <data dir>/.tavlo/tasks/, named <pid>.task, read by `tavlo show tasks`.
// A stop request for a task is the file <pid>.quit beside it.
//
// Record format, one "key=value" line each: name, pid, started (microseconds
// since the epoch) and status.  Backslash, line feed and carriage return in
// values are written as \\, \n and \r so that every record stays four lines.
#ifndef TAVLO_RUNTIME_TASK_REGISTRY_H_
#define TAVLO_RUNTIME_TASK_REGISTRY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tavlo_rt {

struct TaskRecord {
  std::string name;
  long pid = 0;
  int64_t started = 0;  // microseconds since the epoch
  std::string status;
};

// <dataDir>/.tavlo/tasks
std::string TaskDirectory(const std::string& dataDir);
std::string TaskFilePath(const std::string& taskDir, long pid);
std::string QuitFilePath(const std::string& taskDir, long pid);

// Creates <dataDir>/.tavlo/tasks when missing.  False when the data
// directory itself is missing or nothing can be created in it.
bool EnsureTaskDirectory(const std::string& dataDir);

std::string EncodeTaskRecord(const TaskRecord& rec);
bool DecodeTaskRecord(const std::string& text, TaskRecord* rec);

// Writes the record to a temporary file and renames it over `path`, so a
// reader sees the old record or the new one, never half of one.
bool WriteTaskRecord(const std::string& path, const TaskRecord& rec);
bool ReadTaskRecord(const std::string& path, TaskRecord* rec);

// Every readable record in the directory, running or not, ordered by task
// name and pid.  Unreadable or half-written files are skipped.
std::vector<TaskRecord> ListTaskRecords(const std::string& taskDir);

// Whether a process with that pid exists (it may belong to another user).
bool ProcessAlive(long pid);

// Removes the record and any stop request of a task.
void RemoveTaskFiles(const std::string& taskDir, long pid);

}  // namespace tavlo_rt

#endif  // TAVLO_RUNTIME_TASK_REGISTRY_H_
