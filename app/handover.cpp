#include "app/handover.h"

#include <cstdint>
#include <cstdio>

#include "app/cmdline.h"
#include "app/dispatch.h"
#include "app/launch.h"
#include "base/progress.h"
#include "base/request.h"
#include "fetch/fetch.h"
#include "package/format.h"
#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
}

int UPDATE_LoadByArgs(UPDATE_PARA_S* para, const char* unknown) {
    if (para->TransType > kTransCloud) {
        UPDATE_ShowUsage();
        return -1;
    }
    int ret = UPDATE_CheckRemote(para);
    if (ret != 0) return ret;

    char remote_name[kFileNameSize] = {};
    char local_path[kFileNameSize] = {};
    (void)UPDATE_GetFileNames(para, remote_name, local_path);
    char head[kImageHeadSize] = {};
    char compat[kCompatListSize] = {};
    uint8_t digsig[kDigestSize] = {};
    ret = UPDATE_GetImageHead(para->TransType, para->CheckFlag, para->UpdateType, para->remote,
                              para->user, para->password, remote_name, para->url, head, compat,
                              digsig);
    if (ret != 0) {
        ULOG("Get File failed.\n");
        UPDATE_ReportResult(ret);
        return ret;
    }
    // The package's program runs only from a package whose CRC and
    // signature hold, and only as the check read it (from its copy in RAM,
    // or held against the check's digest).
    FileTable table = UPDATE_GetFileStruct(local_path);
    if (!table) {
        ULOG("update failed! please try again!\n");
        UPDATE_ReportResult(-1);
        return -1;
    }
    ImageHeadFields fields{};
    UPDATE_SplitHead(head, &fields);
    UPDATE_TASK_S task{};
    task.Para = para;
    task.pszBinFile = local_path;
    task.pstFileStruct = &table;
    task.HeadCrc = fields.HeadCrc;
    task.DigSig = digsig;
    ret = UPDATE_VerifyPackage(&task);
    if (ret != 0) {
        UPDATE_ReportResult(ret);
        return ret;
    }

    // The package's own program, when it carries one; a table too short to
    // hold its entry carries none.
    const SubImageEntry* updater = UPDATE_EntryAt(&table, UPDATE_UpdaterPosition());
    if (updater == nullptr || updater->FileLength == 0) {
        ULOG("RelocateUpdate failed.\n");
        UPDATE_ReportResult(0);
        return -1;
    }
    ret = UPDATE_ReplaceUpdate(updater, task.pszBinFile);
    if (ret != 0) {
        ULOG("RelocateUpdate failed.\n");
        UPDATE_ReportResult(ret);
        return ret;
    }
    char dir[kFileNameSize] = {};
    if (UPDATE_GetBinDir(task.pszBinFile, dir) != 0) {
        UPDATE_ReportResult(-1);
        return -1;
    }

    char words[kUpdateParaSize] = {};
    if (UPDATE_EncodeArgs(para, unknown, words) != 0) {
        ULOG("update words too long for the update program: %s\n", unknown);
        UPDATE_ReportResult(-1);
        return -1;
    }
    return UPDATE_LaunchNew(dir, words);
}
