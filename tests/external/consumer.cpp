// Uses the installed headers and libraries the way an agent would.
#include <nuvdbsnap/foundation.h>
#include <nuvdbsnap/platform/base/process.h>
#include <nuvdbsnap/platform/msg.h>

#include <cstdio>
#include <string>

int main() {
    CFzError err = FXErrorUtil::ErrorErrNo(FZ_LOC, 22, "bad argument [%s]", "x");
    if (!err.IsError() || !FXErrorUtil::IsErrNo(err, 22)) return 1;
    CFzError copy = err;
    copy.Push(FZ_LOC, "while testing");
    if (copy.AsString().empty()) return 2;

    Nuv::FsBlockBackupConfig msg;
    msg.setstring(1, 1, "Version1");
    msg.setint64(2, 5, 42);
    std::string xml;
    if (msg.serialize(xml, false) != 0) return 3;
    Nuv::FsBlockBackupConfig back;
    if (back.unserialize(xml) != 0 || back.getint64(2, 5) != 42) return 4;

    std::string out, errText;
    int rc = JzProcess::system(std::vector<std::string>{"/bin/echo", "hello world"}, &out, &errText);
    if (rc != 0 || out != "hello world\n") return 5;

    try {
        throw JzException(__PRETTY_FUNCTION__, "replication failed", __FILE__, __LINE__, 0x13000359);
    } catch (JzException const& e) {
        if (e.getErrno() != 0x13000359) return 6;
    }
    std::puts("consumer ok");
    return 0;
}
