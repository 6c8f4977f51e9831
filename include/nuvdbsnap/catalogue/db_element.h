// Per-engine database elements: a DBElementList turns an index path into a
// DBElement and gives the element's file path on the source host and its
// index path (MySQL, PostgreSQL, Sybase). Every getDBElement makes a new
// element that the list keeps (with a copy) for its whole life.
#pragma once

#include <string>
#include <vector>

class DBElement {
public:
    DBElement() = default;
    DBElement(DBElement const&) = default;
    DBElement(DBElement&&) = default;

    virtual std::string getPath() = 0;
    virtual bool isValid() = 0;

    // The file path moved from under the source mount point to under the
    // snapshot mount path (at a component boundary, after resolving the
    // file's links when it does not lie under it directly), every run of '/'
    // made one; the empty string (logged) when it cannot be translated.
    static std::string translatePath(std::string const& filePath, std::string const& sourceMountPoint,
                                     std::string const& snapMountPath);

protected:
    DBElement& operator=(DBElement const&) = default;
    ~DBElement() = default;
};

class DBElementList {
public:
    virtual DBElement& getDBElement(std::string const& indexPath) = 0;
    virtual std::string getFilePath(DBElement& element) = 0;
    virtual std::string getIndexPath(DBElement& element) = 0;

protected:
    ~DBElementList() = default;
};

// An element that holds one path.
class PathDBElement : public DBElement {
public:
    PathDBElement() = default;
    PathDBElement(PathDBElement const&) = default;
    PathDBElement(PathDBElement&&) = default;
    PathDBElement& operator=(PathDBElement const&) = default;
    explicit PathDBElement(std::string path) : m_path(std::move(path)) {}

    std::string getPath() override;  // logs "path=[%s]" at level 6
    bool isValid() override { return !m_path.empty(); }

protected:
    ~PathDBElement() = default;
    std::string m_path;
};

class MySqlDBElement final : public PathDBElement {
public:
    using PathDBElement::PathDBElement;
    MySqlDBElement() = default;
};
class PostGreSqlDBElement final : public PathDBElement {
public:
    using PathDBElement::PathDBElement;
    PostGreSqlDBElement() = default;
};
class SybaseDBElement final : public PathDBElement {
public:
    using PathDBElement::PathDBElement;
    SybaseDBElement() = default;
};

// MySQL: the element path is the index path from the final '/' of its first
// "/+NOBROWSE+/" on; an index path without the marker stays whole (logged).
// The index path is "/+NOBROWSE+/" followed by the element path.
class MySqlDBElementList final : public DBElementList {
public:
    MySqlDBElementList() = default;
    MySqlDBElementList(MySqlDBElementList const&) = delete;
    MySqlDBElementList& operator=(MySqlDBElementList const&) = delete;
    ~MySqlDBElementList();
    DBElement& getDBElement(std::string const& indexPath) override;
    std::string getFilePath(DBElement& element) override;
    std::string getIndexPath(DBElement& element) override;

private:
    std::vector<MySqlDBElement>* m_elements = nullptr;   // created on the first getDBElement
    std::vector<MySqlDBElement*> m_made;
};

// PostgreSQL: element path, file path and index path are the index path.
class PostGreSqlDBElementList final : public DBElementList {
public:
    PostGreSqlDBElementList();
    PostGreSqlDBElementList(PostGreSqlDBElementList const&) = delete;
    PostGreSqlDBElementList& operator=(PostGreSqlDBElementList const&) = delete;
    ~PostGreSqlDBElementList();
    DBElement& getDBElement(std::string const& indexPath) override;
    std::string getFilePath(DBElement& element) override;
    std::string getIndexPath(DBElement& element) override;

private:
    std::vector<PostGreSqlDBElement>* m_elements;
    std::vector<PostGreSqlDBElement*> m_made;
};

// Sybase: the element path is the index path; the file path is the text after
// its third '/' with '~' as '/' (empty when it has no such text).
class SybaseDBElementList final : public DBElementList {
public:
    SybaseDBElementList();
    SybaseDBElementList(SybaseDBElementList const&) = delete;
    SybaseDBElementList& operator=(SybaseDBElementList const&) = delete;
    ~SybaseDBElementList();
    DBElement& getDBElement(std::string const& indexPath) override;
    std::string getFilePath(DBElement& element) override;
    std::string getIndexPath(DBElement& element) override;

private:
    std::vector<SybaseDBElement>* m_elements;
    std::vector<SybaseDBElement*> m_made;
};
