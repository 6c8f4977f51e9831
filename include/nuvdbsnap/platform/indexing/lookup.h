// Rows of the index lookup (FetchIndexInfo::lookup) and the adaptor through
// which the lookup hands them to its caller, one batch at a time.
#pragma once

#include <list>
#include <string>

struct MetaData {
    int id = 0;            // metadata type id
    std::string value;
};

// One row of a lookup answer.
struct FInfoRespItem {
    std::string path;
    bool valid = false;
    std::list<MetaData> metaData;
};

struct FetchIndexInfoResp {
    std::list<FInfoRespItem> items;
};

// The caller's side of a lookup: function is called once per batch; a
// negative result stops the lookup, which then fails.
class FetchIndexInfoSendRes {
public:
    explicit FetchIndexInfoSendRes(FInfoRespItem* item) : m_item(item) {}
    virtual ~FetchIndexInfoSendRes() = default;
    virtual int function(FetchIndexInfoResp* batch) = 0;

protected:
    FInfoRespItem* m_item;
};
