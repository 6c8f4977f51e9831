// Task files of a job's task (task library) and the extended-options text
// that travels with a restore. Task files live in the catalogue per job
// (rst_task_files), so what one object stores the next one reads.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class TaskFile {
public:
    TaskFile() = default;
    TaskFile(uint32_t id, std::string text, uint32_t type) : m_id(id), m_text(std::move(text)), m_type(type) {}
    uint32_t getId() const { return m_id; }
    std::string const& getText() const { return m_text; }
    uint32_t getType() const { return m_type; }

private:
    uint32_t m_id = 0;
    std::string m_text;
    uint32_t m_type = 0;
};

// The task files of one job's task.
class TmTaskFiles {
public:
    explicit TmTaskFiles(long long taskId) : m_taskId(taskId) {}
    // 0 when stored (replacing a file of the same id), non-zero otherwise.
    int setTaskFile(TaskFile const& file, void* context);
    // 0 when the task has a file of this id (filled into file), non-zero otherwise.
    int getTaskFile(uint32_t id, TaskFile& file, void* context) const;

private:
    long long m_taskId;
};

// A set of named integer options rendered as text ("name=value;..."), the
// form in which extended options reach the restore.
class CExtendedOptions {
public:
    CExtendedOptions() = default;
    // Reads the text form; a word without "=" or with a value that is no
    // integer is dropped.
    explicit CExtendedOptions(std::string const& text);
    void setOption(std::string const& name, int value) { m_options[name] = value; }
    // The option's value; 0 when it is not set.
    int getOptionAsInt(std::string const& name) const;
    void getOptions(std::string& text) const;

private:
    std::map<std::string, int> m_options;
};
