// The catalogue: schema versions, transactions, bound values, errors, and
// sharing between processes and threads.
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;
using nuvsuite::CatValue;
using nuvsuite::Catalogue;

namespace {

nuvsuite::SchemaPart s_widgets1{"test.widgets", 1,
                                "CREATE TABLE IF NOT EXISTS widgets (id INTEGER PRIMARY KEY, name TEXT, v)"};
// A migration that fails when it runs twice.
nuvsuite::SchemaPart s_widgets2{"test.widgets", 2,
                                "ALTER TABLE widgets ADD COLUMN colour TEXT NOT NULL DEFAULT 'red'"};
// Counts its own applications.
nuvsuite::SchemaPart s_applied{"test.applied", 1,
                               "CREATE TABLE IF NOT EXISTS applied (n INTEGER); INSERT INTO applied VALUES (1);"};

int64_t Scalar(std::string const& sql, std::vector<CatValue> const& params = {}) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(sql, params, &rows);
    if (e.IsError() || rows.empty() || rows[0].empty()) return -999;
    return AsInt(rows[0][0]);
}

bool HasWidget(std::string const& name) {
    return Scalar("SELECT count(*) FROM widgets WHERE name = ?", {name}) == 1;
}

CFzError AddWidget(std::string const& name) {
    return Catalogue::Instance().Exec("INSERT INTO widgets(name) VALUES(?)", {name});
}

class CatalogueTest : public nuvtest::SuiteTest {};

TEST_F(CatalogueTest, SchemaVersionIsRecordedAndReopeningAppliesNothingTwice) {
    Catalogue& cat = Catalogue::Instance();
    EXPECT_EQ(cat.path(), m_root.path() + "/catalogue.db");
    EXPECT_EQ(Scalar("SELECT version FROM schema_versions WHERE service = 'test.widgets'"), 2);
    ASSERT_FALSE(AddWidget("first").IsError());
    EXPECT_EQ(Scalar("SELECT count(*) FROM widgets WHERE colour = 'red'"), 1);

    // Another root, then back: the first catalogue is reopened as it was.
    std::string const first = m_root.path();
    setenv("JZ_SUITE_ROOT", (m_root.base() + "/other").c_str(), 1);
    EXPECT_EQ(Catalogue::Instance().path(), m_root.base() + "/other/catalogue.db");
    EXPECT_FALSE(HasWidget("first"));
    setenv("JZ_SUITE_ROOT", first.c_str(), 1);
    EXPECT_EQ(Catalogue::Instance().path(), first + "/catalogue.db");
    EXPECT_TRUE(HasWidget("first"));
    EXPECT_EQ(Scalar("SELECT count(*) FROM applied"), 1);
    EXPECT_EQ(Scalar("SELECT count(*) FROM schema_versions WHERE service = 'test.widgets'"), 1);

    // A child process opens the same file: still applied once.
    int pid = nuvtest::StartChild([] { return Scalar("SELECT count(*) FROM applied") == 1 ? 0 : 1; });
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    EXPECT_EQ(Scalar("SELECT count(*) FROM applied"), 1);
}

TEST_F(CatalogueTest, NestedTransactionsRollBackTheirOwnWorkOrEverything) {
    enum class Outcome { Succeed, Fail, Throw };
    struct Case {
        char const* name;
        Outcome inner;
        Outcome outer;
        bool outerRowKept;
        bool innerRowKept;
    };
    Case const cases[] = {
        {"both succeed", Outcome::Succeed, Outcome::Succeed, true, true},
        {"inner fails, outer goes on", Outcome::Fail, Outcome::Succeed, true, false},
        {"outer fails after inner", Outcome::Succeed, Outcome::Fail, false, false},
        {"inner throws through outer", Outcome::Throw, Outcome::Succeed, false, false},
    };
    Catalogue& cat = Catalogue::Instance();
    auto finish = [](Outcome o) -> CFzError {
        if (o == Outcome::Throw) throw std::runtime_error("boom");
        if (o == Outcome::Fail) return FXErrorUtil::ErrorJZResult(FZ_LOC, 7, "step failed");
        return CFzError::Success();
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string const outerName = std::string(c.name) + "/outer";
        std::string const innerName = std::string(c.name) + "/inner";
        bool threw = false;
        try {
            CFzError e = cat.Transaction([&]() -> CFzError {
                EXPECT_FALSE(AddWidget(outerName).IsError());
                CFzError inner = cat.Transaction([&]() -> CFzError {
                    EXPECT_FALSE(AddWidget(innerName).IsError());
                    return finish(c.inner);
                });
                EXPECT_EQ(inner.IsError(), c.inner == Outcome::Fail);
                return finish(c.outer);
            });
            EXPECT_EQ(e.IsError(), c.outer == Outcome::Fail);
        } catch (std::runtime_error const&) {
            threw = true;
        }
        EXPECT_EQ(threw, c.inner == Outcome::Throw);
        EXPECT_EQ(HasWidget(outerName), c.outerRowKept);
        EXPECT_EQ(HasWidget(innerName), c.innerRowKept);
        // No transaction is left open: a write from another process gets through.
        int pid = nuvtest::StartChild([&] { return AddWidget(std::string(c.name) + "/child").IsError() ? 1 : 0; });
        EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    }
}

TEST_F(CatalogueTest, ValuesTravelAsBoundParametersUnchanged) {
    struct Case {
        char const* name;
        CatValue value;
    };
    Case const cases[] = {
        {"null", nullptr},
        {"int64 min", int64_t(INT64_MIN)},
        {"int64 max", int64_t(INT64_MAX)},
        {"double", 0.125},
        {"empty text", std::string()},
        {"quotes and sql", std::string("x'); DROP TABLE widgets; -- \"y\"")},
        {"embedded nul", std::string("a\0b", 3)},
        {"unicode", std::string("Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93")},
    };
    Catalogue& cat = Catalogue::Instance();
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(cat.Exec("INSERT INTO widgets(name, v) VALUES(?, ?)", {std::string(c.name), c.value}).IsError());
        std::vector<CatRow> rows;
        ASSERT_FALSE(cat.Query("SELECT v FROM widgets WHERE name = ?", {std::string(c.name)}, &rows).IsError());
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_TRUE(rows[0][0] == c.value);
    }
    EXPECT_EQ(Scalar("SELECT count(*) FROM widgets"), int64_t(std::size(cases)));
}

TEST_F(CatalogueTest, FailuresAreErrorsWithTheSqliteText) {
    struct Case {
        char const* name;
        std::string sql;
        std::vector<CatValue> params;
        char const* text;
    };
    Case const cases[] = {
        {"syntax", "SELEC 1", {}, "syntax error"},
        {"unknown table", "SELECT * FROM no_such_table", {}, "no such table"},
        {"too few parameters", "SELECT ?, ?", {int64_t(1)}, "2 parameters expected, 1 given"},
        {"two statements with parameters", "SELECT ?; SELECT 2", {int64_t(1)}, "one statement expected"},
        {"constraint", "INSERT INTO schema_versions(service, version) VALUES('x', NULL)", {}, "NOT NULL"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CatRow> rows{CatRow{int64_t(1)}};
        CFzError e = Catalogue::Instance().Query(c.sql, c.params, &rows);
        ASSERT_TRUE(e.IsError());
        EXPECT_NE(e.AsString().find(c.text), std::string::npos) << e.AsString();
        EXPECT_TRUE(rows.empty());
    }
}

// Rows handed over one at a time, in order; the reader stops when it likes,
// may use the catalogue (the same query too) while it reads, and an error is
// the SQLite text.
TEST_F(CatalogueTest, QueryEachHandsOverRowsAsTheyAreRead) {
    for (char const* name : {"a", "b", "c", "d"}) ASSERT_FALSE(AddWidget(name).IsError());
    std::string const sql = "SELECT name, id FROM widgets WHERE id >= ? ORDER BY id";
    std::vector<std::string> seen;
    std::vector<int64_t> nested;
    ASSERT_FALSE(Catalogue::Instance()
                     .QueryEach(sql, {int64_t(1)},
                                [&](CatRow const& row) {
                                    seen.push_back(AsText(row[0]));
                                    std::vector<CatRow> again;   // the same text, read in full meanwhile
                                    EXPECT_FALSE(Catalogue::Instance().Query(sql, {AsInt(row[1])}, &again).IsError());
                                    nested.push_back(static_cast<int64_t>(again.size()));
                                    if (seen.size() == 2) EXPECT_FALSE(AddWidget("e").IsError());
                                    return seen.size() < 3;
                                })
                     .IsError());
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), seen);
    EXPECT_EQ((std::vector<int64_t>{4, 3, 3}), nested);
    EXPECT_TRUE(HasWidget("e"));

    bool called = false;
    CFzError e = Catalogue::Instance().QueryEach("SELECT * FROM no_such_table", {}, [&](CatRow const&) {
        called = true;
        return true;
    });
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("no such table"), std::string::npos) << e.AsString();
    EXPECT_FALSE(called);
}

TEST_F(CatalogueTest, TwoProcessesSeeTheSameRows) {
    ASSERT_FALSE(AddWidget("parent before fork").IsError());  // the parent's connection exists at fork
    nuvtest::PipeSignal go;
    nuvtest::PipeSignal done;
    int pid = nuvtest::StartChild([&] {
        if (!go.Wait()) return 2;
        if (!HasWidget("parent before fork") || !HasWidget("parent after fork")) return 3;
        if (AddWidget("child").IsError()) return 4;
        done.Send();
        return 0;
    });
    ASSERT_FALSE(AddWidget("parent after fork").IsError());
    go.Send();
    ASSERT_TRUE(done.Wait());
    EXPECT_TRUE(HasWidget("child"));
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    // The child's exit leaves the parent's connection working.
    ASSERT_FALSE(AddWidget("parent after child").IsError());
    EXPECT_EQ(Scalar("SELECT count(*) FROM widgets"), 4);
}

TEST_F(CatalogueTest, ConcurrentReadModifyWriteFromProcessesAndThreadsLosesNothing) {
    Catalogue& cat = Catalogue::Instance();
    ASSERT_FALSE(cat.Exec("INSERT INTO widgets(name, v) VALUES('counter', 0)").IsError());
    constexpr int kProcesses = 4;
    constexpr int kThreads = 2;
    constexpr int kRounds = 50;
    auto work = [] {
        int failures = 0;
        for (int i = 0; i < kRounds; ++i) {
            Catalogue& c = Catalogue::Instance();
            CFzError e = c.Transaction([&c]() -> CFzError {
                std::vector<CatRow> rows;
                CFzError r = c.Query("SELECT v FROM widgets WHERE name = 'counter'", {}, &rows);
                if (r.IsError()) return r;
                return c.Exec("UPDATE widgets SET v = ? WHERE name = 'counter'", {AsInt(rows.at(0).at(0)) + 1});
            });
            if (e.IsError()) ++failures;
        }
        return failures;
    };
    nuvtest::PipeSignal start;
    std::vector<int> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(nuvtest::StartChild([&] {
            start.CloseWrite();
            if (start.Wait()) return 90;  // the parent only closes its end
            int failures[kThreads] = {};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { failures[t] = work(); });
            for (auto& th : threads) th.join();
            int sum = 0;
            for (int f : failures) sum += f;
            return sum;
        }));
    }
    start.CloseWrite();  // all children start together
    for (int pid : pids) EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    EXPECT_EQ(Scalar("SELECT v FROM widgets WHERE name = 'counter'"), kProcesses * kThreads * kRounds);
}

}  // namespace

// A writer of much in many transactions leaves the log to be copied into the
// catalogue file once, when its work ends; after that the log is copied
// every 1000 pages again.
TEST_F(CatalogueTest, DeferredCheckpointsCopyTheLogOnceWhenTheWorkEnds) {
    Catalogue& cat = Catalogue::Instance();
    cat.Checkpoint();
    auto const fileSize = [&] { return static_cast<long long>(std::filesystem::file_size(cat.path())); };
    std::string const value(400 * 1024, 'v');
    auto const write = [&](int transactions) {
        for (int i = 0; i < transactions; ++i)
            ASSERT_FALSE(cat.Exec("INSERT INTO widgets(name, v) VALUES(?, ?)", {std::to_string(i), value}).IsError());
    };
    long long const before = fileSize();
    cat.DeferCheckpoints();
    write(12);  // some 1200 pages
    EXPECT_EQ(before, fileSize()) << "nothing copied on the way";
    cat.Checkpoint();
    long long const copied = fileSize();
    EXPECT_GE(copied, before + 12 * 400 * 1024) << "all copied when the work ends";
    write(12);
    EXPECT_GT(fileSize(), copied) << "copied every 1000 pages again";
}
