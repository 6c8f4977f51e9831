// The snapshot client: every operation of the local snapshot manager on a
// job's snapshot record, in place. Snapshots are point-in-time copies of each
// volume's tree under StatePath("snapshots")/<SM snap id> (reflink clones where
// the file system allows), mounts are read-only bind mounts; both are catalogue
// rows. Every call clears the record's error first and, on failure, sets the
// record's error code and text and keeps them for getErrCode/getErrCodeAndStr.
// Every call journals ("snapmgr", "<method>", args) and obeys the fault table.
#pragma once

#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <string>

class JZSnapClientAPI {
public:
    JZSnapClientAPI() = default;
    ~JZSnapClientAPI() = default;

    // Resolves each volume (declared volume, else the mount that holds its
    // source path), fills its device and "fstype:options" and gives it an SM
    // volume id (> 0). A volume whose source "+NAME" names a declared ASM disk
    // group stays one volume, without device or mount options of its own: the
    // group's disk volumes are checked and it gains the flag 0x10000
    // (JZSM_VOLUMEFLAGS_ASM_DISKGROUP). Success is read from the record's error code.
    bool prepareVolumeSnaps(SMVolSnapInfo& record);
    // Fills the volumes' devices and mount options only.
    bool discoverVolumeDetails(SMVolSnapInfo& record);
    // 1 when every volume is prepared and its source (a group's: each of its
    // disks) is present, else 0.
    int preCreateVolumeSnaps(SMVolSnapInfo& record);
    // Makes one point-in-time copy per volume (a disk group's volume: one tree
    // of the files of all its disks, see snap_methods.h), all or none; adds the snaps and
    // the volume-snap map to the record. True when all exist. What an earlier
    // create that died half way left behind is removed first.
    bool createVolumeSnaps(SMVolSnapInfo& record);
    // 1 when every volume's snapshot exists, else 0.
    int postCreateVolumeSnaps(SMVolSnapInfo& record);
    // Removes the record's snapshots (unmounting them first) and the prepared
    // volume ids without a snapshot. Only copies that lie under the state root
    // and that the catalogue knows are removed; anything else is refused.
    bool deleteVolumeSnaps(SMVolSnapInfo& record);
    // Mounts each volume's snapshot read-only at its mount path (a default under
    // StatePath("mounts") when empty; for a disk-group name "+NAME" a place of
    // that group, StatePath("mounts")/asm/NAME/<SM snap id>), all or
    // none; the mount paths are written back.
    // A path among the snapshot copies (or with "..") is refused; a mount of the
    // suite that went away outside it is made again. Each mount is recorded
    // before it is made, held by this process until it ends (a killed holder's
    // mounts are released by the next sweep; see SweepLeftovers), and is
    // read-only from its first instant; mounts of the snapshot left at the path
    // are replaced, never stacked.
    bool mountVolumes(SMVolSnapInfo& record);
    // Unmounts the mounts the suite made of the record's snapshots (by a
    // volume's mount path, or by its snapshot when it has none or a
    // disk-group name; then also unrecorded binds of it in the suite's mount
    // areas); a path where the snapshot is no longer what is mounted is left
    // mounted (its row goes). Fails while a released path still holds the snapshot.
    bool unmount(SMVolSnapInfo& record);
    // Fills the record with the volumes and snaps selected by its archive file id,
    // else its snap job id, else its job id. False when nothing is found.
    bool getVolumeSnaps(SMVolSnapInfo& record);
    // Saves the record's volume entries with their snapshots; 1 on success, 0 otherwise.
    int updateVolumeSnaps(SMVolSnapInfo& record);
    // Turns a record of ASM disk-group volumes (flag 0x10000) into a record of
    // their disks: each group volume becomes one volume per disk volume of the
    // declared group (catalogue kinds "asmgroup" and "asmdisk"), with the
    // disk's path, device and mount options, the group's path as original
    // source path and the group's other fields, without the flag; other
    // volumes are copied. False for a flagged volume that names no declared
    // group, a group without disks or a disk path that is no volume.
    bool GetDiskVolSnapForASMVolSnap(SMVolSnapInfo const& record, SMVolSnapInfo& diskRecord);

    int getErrCode() const { return m_errCode; }
    int getErrCodeAndStr(std::string& text) const {
        text = m_errStr;
        return m_errCode;
    }

private:
    int m_errCode = 0;
    std::string m_errStr;
};

// The record as XML text (0 on success; on failure -1 and an empty text).
// A string that holds a NUL byte cannot be written and fails the call.
int JZSnapClientAPI_VolSnapInfoObjectToXMLStr(SMVolSnapInfo const& record, std::string& text);
// Reads such a text back into an equal record: 0 on success; non-zero on an
// empty or malformed text, and the record is then left unchanged.
int JZSnapClientAPI_VolSnapInfoXMLStrToObject(std::string const& text, SMVolSnapInfo& record);
