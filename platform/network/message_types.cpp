#include "message_types.h"

#include "nuvwire/snap_wire.h"
#include "nuvdbsnap/foundation/restore_records.h"

namespace nuvnet {
namespace {

constexpr u_int kTextMax = 65536;
constexpr u_int kListMax = 10000000;

// A text that may be absent (a null pointer): a presence flag, then the text.
bool_t XdrOptionalText(XDR* xdr, char** text) {
    bool_t present = *text != nullptr;
    if (!xdr_bool(xdr, &present)) return FALSE;
    if (!present) return TRUE;
    return xdr_string(xdr, text, kTextMax);
}

bool_t XdrSnapSrcPath(XDR* xdr, FSRSnapSrcPath* e) {
    return xdr_int(xdr, &e->value0) && xdr_int(xdr, &e->value4) && xdr_u_hyper(xdr, &e->info8) &&
           xdr_u_hyper(xdr, &e->info16) && xdr_hyper(xdr, &e->info24) && xdr_u_hyper(xdr, &e->info32) &&
           XdrOptionalText(xdr, &e->srcPath) && xdr_hyper(xdr, &e->value48) && XdrOptionalText(xdr, &e->destPath) &&
           xdr_hyper(xdr, &e->value64) && xdr_hyper(xdr, &e->value72);
}

// The run of source paths of the file-restore program, with its entries.
bool_t XdrSnapSrcPathArray(XDR* xdr, FSRSnapSrcPathArray* a) {
    u_int count = a->count;
    char* entries = reinterpret_cast<char*>(a->entries);
    if (!xdr_u_hyper(xdr, &a->lastArchFileKind) || !xdr_hyper(xdr, &a->firstArchFileKind) ||
        !xdr_array(xdr, &entries, &count, kListMax, sizeof(FSRSnapSrcPath), reinterpret_cast<xdrproc_t>(XdrSnapSrcPath)))
        return FALSE;
    a->count = count;
    a->entries = reinterpret_cast<FSRSnapSrcPath*>(entries);
    return TRUE;
}

bool_t XdrFileReport(XDR* xdr, FSRFileReport* r) {
    return XdrOptionalText(xdr, &r->srcPath) && XdrOptionalText(xdr, &r->destPath) && xdr_int(xdr, &r->error) &&
           xdr_u_int(xdr, &r->reserved) && xdr_u_hyper(xdr, &r->bytes) && XdrOptionalText(xdr, &r->errorText);
}

// The file-restore program's answer, with its per-file reports.
bool_t XdrRestoreReply(XDR* xdr, FSRRestoreReply* r) {
    u_int count = r->count;
    char* reports = reinterpret_cast<char*>(r->reports);
    if (!xdr_u_int(xdr, &r->filesRestored) || !xdr_u_int(xdr, &r->filesFailed) || !xdr_u_hyper(xdr, &r->bytes) ||
        !xdr_array(xdr, &reports, &count, kListMax, sizeof(FSRFileReport), reinterpret_cast<xdrproc_t>(XdrFileReport)) ||
        !XdrOptionalText(xdr, &r->errorText))
        return FALSE;
    r->count = count;
    r->reports = reinterpret_cast<FSRFileReport*>(reports);
    return TRUE;
}

// The snapshot helper's requests and replies (prepare, snap, delete).
XdrMessageType const kTypes[] = {
    {0x20000402, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "prepare request"},
    {0x20000403, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "prepare reply"},
    {0x200003d2, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "snap request"},
    {0x200003d3, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "snap reply"},
    {0x200004f7, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "delete request"},
    {0x200004f8, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "delete reply"},
    // The file-restore program: a run of source paths, and its two answers.
    {FSR_SNAP_SRC_PATH_ARRAY, reinterpret_cast<xdrproc_t>(XdrSnapSrcPathArray), sizeof(FSRSnapSrcPathArray),
     "source-path run"},
    {FSR_RESTORE_END, reinterpret_cast<xdrproc_t>(XdrRestoreReply), sizeof(FSRRestoreReply), "restore end"},
    {FSR_MSG_FATAL_ERROR, reinterpret_cast<xdrproc_t>(XdrRestoreReply), sizeof(FSRRestoreReply), "fatal error"},
};

}  // namespace

XdrMessageType const* FindXdrMessageType(unsigned long type) {
    for (XdrMessageType const& t : kTypes)
        if (t.type == type) return &t;
    return nullptr;
}

}  // namespace nuvnet
