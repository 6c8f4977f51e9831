// The restore task of a job (task library): the restore's source entity, its
// browse time range, options by 32-bit option id and its path lists. Kept per
// job in the catalogue, so what one object writes the next one reads.
#pragma once

#include <cstdint>
#include <list>
#include <string>

class EvTask {
public:
    explicit EvTask(long long taskId) : m_taskId(taskId) {}
    virtual ~EvTask() = default;

    // 0 when the option was read (or stored); non-zero when absent (or not stored).
    int getOptionBool(uint32_t id, bool& value, void* context);
    int getOptionNumber(uint32_t id, int64_t& value, void* context);
    int getOptionString(uint32_t id, std::list<std::string>& values, void* context);
    int getOptionString(uint32_t id, std::string& value, void* context);   // the first text
    int setOptionBool(uint32_t id, bool value, void* context);
    int setOptionNumber(uint32_t id, int64_t value, void* context);
    int setOptionString(uint32_t id, std::string const& value, void* context);
    int setOptionString(uint32_t id, std::list<std::string> const& values, void* context);

    long long getTaskId() const { return m_taskId; }

protected:
    long long m_taskId;
};

class EvRstTask : public EvTask {
public:
    // Path kinds of the task.
    static constexpr int kSourcePaths = 1;
    static constexpr int kFilterPaths = 3;

    EvRstTask(long long jobId, int reserved, void* context, bool readOnly);
    ~EvRstTask() override = default;

    // Each 0 when the value was read; non-zero (value 0) when the job has no task.
    int getBrannoxId(uint64_t& value, void* context);
    int getSourceClientId(uint64_t& value, void* context);
    int getDestinationClientId(uint64_t& value, void* context);
    int getAppTypeId(uint64_t& value, void* context);
    int getInstanceId(uint64_t& value, void* context);
    int getDestinationInstanceId(uint64_t& value, void* context);
    int getBackupSetId(uint64_t& value, void* context);
    int getAppId(uint64_t& value, void* context);
    int getFromTime(uint64_t& value, void* context);
    int getToTime(uint64_t& value, void* context);
    int getArchGroupCopyPrecedence(uint64_t& value, void* context);
    int getStripLevel(uint64_t& value, void* context);

    // Each 0 when stored (the task is made when the job has none); a read-only
    // task stores nothing.
    int setBrannoxId(uint64_t value, void* context);
    int setSourceClientId(uint64_t value, void* context);
    int setDestinationClientId(uint64_t value, void* context);
    int setAppTypeId(uint64_t value, void* context);
    int setInstanceId(uint64_t value, void* context);
    int setDestinationInstanceId(uint64_t value, void* context);
    int setBackupSetId(uint64_t value, void* context);
    int setAppId(uint64_t value, void* context);
    int setFromTime(uint64_t value, void* context);
    int setToTime(uint64_t value, void* context);
    int setArchGroupCopyPrecedence(uint64_t value, void* context);
    int setStripLevel(uint64_t value, void* context);
    // The restore user's password (kept apart from the options, never journalled).
    int setPassword(char const* password, void* context);
    int getPassword(std::string& password, void* context);

    // Path lists: getFirstPath then getNextPath until non-zero (no more paths).
    int getFirstPath(int kind, std::string& path, void* context);
    int getNextPath(int kind, std::string& path, void* context);
    int addPath(int kind, std::string const& path, void* context);

private:
    int getField(char const* column, uint64_t& value);
    int setField(char const* column, uint64_t value);

    bool m_readOnly;
    int64_t m_pathCursor[8] = {};
};
