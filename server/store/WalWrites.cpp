#include "store/WalWrites.h"

#include <cstring>
#include <mutex>
#include <sqlite3.h>

namespace wispline::server
{
namespace
{

// Gathered writes go out at this size at the latest (about 30 frames; a commit at 5,000
// messages a second is 10 to 20). SQLite's own file layer writes no more than 128 KB a call and
// reports a longer write as a full disk.
constexpr int kMaxGathered = 120 * 1024;

sqlite3_vfs* below = nullptr; // the default file system the layer passes everything to
sqlite3_vfs layer{};

struct File {
    sqlite3_file base; // its methods: the layer's
    sqlite3_file* inner;
    bool gather;
    char* pending; // gathered writes, from pendingAt on
    int pendingSize;
    sqlite3_int64 pendingAt;
};

// The file below lives right after the layer's record.
constexpr int kInnerOffset = int((sizeof(File) + 15) / 16 * 16);

File* self(sqlite3_file* file)
{
    return reinterpret_cast<File*>(file);
}

sqlite3_file* inner(sqlite3_file* file)
{
    return self(file)->inner;
}

const sqlite3_io_methods* of(sqlite3_file* file)
{
    return inner(file)->pMethods;
}

// A failed write is not tried again: the commit it belonged to fails, SQLite rolls back and the
// next one writes those frames anew.
int flush(File* f)
{
    if (f->pendingSize == 0)
        return SQLITE_OK;
    const int size = f->pendingSize;
    f->pendingSize = 0;
    return f->inner->pMethods->xWrite(f->inner, f->pending, size, f->pendingAt);
}

int fileClose(sqlite3_file* file)
{
    File* f = self(file);
    const int flushed = flush(f);
    const int closed = of(file)->xClose(f->inner);
    sqlite3_free(f->pending);
    f->pending = nullptr;
    f->gather = false;
    return flushed != SQLITE_OK ? flushed : closed;
}

int fileRead(sqlite3_file* file, void* to, int amount, sqlite3_int64 offset)
{
    const int rc = flush(self(file));
    return rc != SQLITE_OK ? rc : of(file)->xRead(inner(file), to, amount, offset);
}

int fileWrite(sqlite3_file* file, const void* from, int amount, sqlite3_int64 offset)
{
    File* f = self(file);
    if (!f->gather)
        return of(file)->xWrite(f->inner, from, amount, offset);
    // Only what continues the gathered bytes joins them: anything else writes them out first,
    // so the file sees every write in the order it was made.
    if (f->pendingSize > 0 &&
        (offset != f->pendingAt + f->pendingSize || amount > kMaxGathered - f->pendingSize)) {
        const int rc = flush(f);
        if (rc != SQLITE_OK)
            return rc;
    }
    if (amount > kMaxGathered)
        return of(file)->xWrite(f->inner, from, amount, offset);
    if (f->pendingSize == 0)
        f->pendingAt = offset;
    std::memcpy(f->pending + f->pendingSize, from, std::size_t(amount));
    f->pendingSize += amount;
    return SQLITE_OK;
}

int fileTruncate(sqlite3_file* file, sqlite3_int64 size)
{
    const int rc = flush(self(file));
    return rc != SQLITE_OK ? rc : of(file)->xTruncate(inner(file), size);
}

int fileSync(sqlite3_file* file, int flags)
{
    const int rc = flush(self(file));
    return rc != SQLITE_OK ? rc : of(file)->xSync(inner(file), flags);
}

int fileSize(sqlite3_file* file, sqlite3_int64* size)
{
    const int rc = flush(self(file));
    return rc != SQLITE_OK ? rc : of(file)->xFileSize(inner(file), size);
}

int fileLock(sqlite3_file* file, int level)
{
    return of(file)->xLock(inner(file), level);
}

int fileUnlock(sqlite3_file* file, int level)
{
    return of(file)->xUnlock(inner(file), level);
}

int fileCheckReservedLock(sqlite3_file* file, int* out)
{
    return of(file)->xCheckReservedLock(inner(file), out);
}

int fileControl(sqlite3_file* file, int op, void* arg)
{
    const int rc = flush(self(file));
    return rc != SQLITE_OK ? rc : of(file)->xFileControl(inner(file), op, arg);
}

int fileSectorSize(sqlite3_file* file)
{
    return of(file)->xSectorSize(inner(file));
}

int fileDeviceCharacteristics(sqlite3_file* file)
{
    return of(file)->xDeviceCharacteristics(inner(file));
}

int fileShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** at)
{
    if (of(file)->iVersion < 2 || !of(file)->xShmMap)
        return SQLITE_IOERR_SHMMAP;
    return of(file)->xShmMap(inner(file), region, size, extend, at);
}

int fileShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    if (of(file)->iVersion < 2 || !of(file)->xShmLock)
        return SQLITE_IOERR_SHMLOCK;
    return of(file)->xShmLock(inner(file), offset, n, flags);
}

void fileShmBarrier(sqlite3_file* file)
{
    if (of(file)->iVersion >= 2 && of(file)->xShmBarrier)
        of(file)->xShmBarrier(inner(file));
}

int fileShmUnmap(sqlite3_file* file, int deleteFlag)
{
    if (of(file)->iVersion < 2 || !of(file)->xShmUnmap)
        return SQLITE_OK;
    return of(file)->xShmUnmap(inner(file), deleteFlag);
}

int fileFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** at)
{
    if (of(file)->iVersion < 3 || !of(file)->xFetch) {
        *at = nullptr; // read the ordinary way
        return SQLITE_OK;
    }
    return of(file)->xFetch(inner(file), offset, amount, at);
}

int fileUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* at)
{
    if (of(file)->iVersion < 3 || !of(file)->xUnfetch)
        return SQLITE_OK;
    return of(file)->xUnfetch(inner(file), offset, at);
}

const sqlite3_io_methods methods = {
    3,
    fileClose,
    fileRead,
    fileWrite,
    fileTruncate,
    fileSync,
    fileSize,
    fileLock,
    fileUnlock,
    fileCheckReservedLock,
    fileControl,
    fileSectorSize,
    fileDeviceCharacteristics,
    fileShmMap,
    fileShmLock,
    fileShmBarrier,
    fileShmUnmap,
    fileFetch,
    fileUnfetch,
};

int vfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    File* f = self(file);
    f->base.pMethods = nullptr;
    f->inner = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kInnerOffset);
    f->inner->pMethods = nullptr;
    f->gather = false;
    f->pending = nullptr;
    f->pendingSize = 0;
    f->pendingAt = 0;
    const int rc = below->xOpen(below, name, f->inner, flags, outFlags);
    // SQLite closes a file whose methods are set even when the open failed.
    if (f->inner->pMethods)
        f->base.pMethods = &methods;
    return rc;
}

int vfsDelete(sqlite3_vfs*, const char* name, int syncDir)
{
    return below->xDelete(below, name, syncDir);
}

int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out)
{
    return below->xAccess(below, name, flags, out);
}

int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    return below->xFullPathname(below, name, size, out);
}

void* vfsDlOpen(sqlite3_vfs*, const char* name)
{
    return below->xDlOpen(below, name);
}

void vfsDlError(sqlite3_vfs*, int size, char* out)
{
    below->xDlError(below, size, out);
}

void (*vfsDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void)
{
    return below->xDlSym(below, handle, symbol);
}

void vfsDlClose(sqlite3_vfs*, void* handle)
{
    below->xDlClose(below, handle);
}

int vfsRandomness(sqlite3_vfs*, int size, char* out)
{
    return below->xRandomness(below, size, out);
}

int vfsSleep(sqlite3_vfs*, int microseconds)
{
    return below->xSleep(below, microseconds);
}

int vfsCurrentTime(sqlite3_vfs*, double* out)
{
    return below->xCurrentTime(below, out);
}

int vfsGetLastError(sqlite3_vfs*, int size, char* out)
{
    return below->xGetLastError ? below->xGetLastError(below, size, out) : 0;
}

int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out)
{
    return below->xCurrentTimeInt64(below, out);
}

int vfsSetSystemCall(sqlite3_vfs*, const char* name, sqlite3_syscall_ptr call)
{
    return below->xSetSystemCall(below, name, call);
}

sqlite3_syscall_ptr vfsGetSystemCall(sqlite3_vfs*, const char* name)
{
    return below->xGetSystemCall(below, name);
}

const char* vfsNextSystemCall(sqlite3_vfs*, const char* name)
{
    return below->xNextSystemCall(below, name);
}

} // namespace

void installWalWrites()
{
    static std::once_flag once;
    std::call_once(once, [] {
        below = sqlite3_vfs_find(nullptr);
        if (!below)
            return;
        layer.iVersion = below->iVersion < 3 ? below->iVersion : 3;
        layer.szOsFile = kInnerOffset + below->szOsFile;
        layer.mxPathname = below->mxPathname;
        layer.zName = "wispline-wal-writes";
        layer.xOpen = vfsOpen;
        layer.xDelete = vfsDelete;
        layer.xAccess = vfsAccess;
        layer.xFullPathname = vfsFullPathname;
        layer.xDlOpen = vfsDlOpen;
        layer.xDlError = vfsDlError;
        layer.xDlSym = vfsDlSym;
        layer.xDlClose = vfsDlClose;
        layer.xRandomness = vfsRandomness;
        layer.xSleep = vfsSleep;
        layer.xCurrentTime = vfsCurrentTime;
        layer.xGetLastError = vfsGetLastError;
        if (layer.iVersion >= 2)
            layer.xCurrentTimeInt64 = vfsCurrentTimeInt64;
        if (layer.iVersion >= 3) {
            layer.xSetSystemCall = vfsSetSystemCall;
            layer.xGetSystemCall = vfsGetSystemCall;
            layer.xNextSystemCall = vfsNextSystemCall;
        }
        if (sqlite3_vfs_register(&layer, 1) != SQLITE_OK)
            below = nullptr;
    });
}

bool gatherWalWrites(sqlite3* db)
{
    if (!db || !below)
        return false;
    // Gathered frames are written out at the latest by the commit's sync; a connection that does
    // not sync its commits would publish frames still held here.
    int level = -1;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        level = sqlite3_column_int(query, 0);
    sqlite3_finalize(query);
    if (level < 2) // FULL or EXTRA
        return false;
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK || !log ||
        log->pMethods != &methods)
        return false;
    File* f = self(log);
    if (!f->pending)
        f->pending = static_cast<char*>(sqlite3_malloc(kMaxGathered));
    if (!f->pending)
        return false;
    f->gather = true;
    return true;
}

} // namespace wispline::server
