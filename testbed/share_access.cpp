// share_access.cpp

#include "testbed/share_access.h"

#include "testbed/nt_file_definitions.h"

namespace quarnhold::testbed {
namespace {

struct DataAccess {
    bool read;
    bool write;
    bool erase;
    bool Any() const { return read || write || erase; }
};

DataAccess DataAccessOf(uint32_t access)
{
    return {(access & (nt::FileReadData | nt::FileExecute)) != 0,
            (access & (nt::FileWriteData | nt::FileAppendData)) != 0,
            (access & nt::Delete) != 0};
}

// True when `holder` (an open already there, or the new one) lets `other`
// have the data access it asks for.
bool Permits(uint32_t holderShare, const DataAccess& other)
{
    return (!other.read || (holderShare & nt::FileShareRead)) && (!other.write || (holderShare & nt::FileShareWrite)) &&
           (!other.erase || (holderShare & nt::FileShareDelete));
}

}  // namespace

bool ShareAccessAllows(std::span<const ShareState> existing, const ShareState& wanted)
{
    DataAccess wantedAccess = DataAccessOf(wanted.grantedAccess);
    if (!wantedAccess.Any()) {
        return true;
    }
    for (const ShareState& open : existing) {
        DataAccess openAccess = DataAccessOf(open.grantedAccess);
        if (!openAccess.Any()) {
            continue;
        }
        if (!Permits(open.shareAccess, wantedAccess) || !Permits(wanted.shareAccess, openAccess)) {
            return false;
        }
    }
    return true;
}

uint32_t MapGenericFileAccess(uint32_t access)
{
    uint32_t mapped = access & ~(nt::GenericRead | nt::GenericWrite | nt::GenericExecute | nt::GenericAll);
    if (access & nt::GenericRead) mapped |= nt::FileGenericRead;
    if (access & nt::GenericWrite) mapped |= nt::FileGenericWrite;
    if (access & nt::GenericExecute) mapped |= nt::FileGenericExecute;
    if (access & nt::GenericAll) mapped |= nt::FileAllAccess;
    return mapped;
}

}  // namespace quarnhold::testbed
