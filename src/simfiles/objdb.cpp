#include "simfiles/objdb.h"

#include <functional>

#include "simfiles/simpath.h"

namespace qd {

namespace {

// Walks the records until visit returns true. -1: no usable file; 0: stopped by visit;
// 1: ran to the end (or to a truncated record).
int WalkObjectDatabase(const std::filesystem::path& workDir, Diagnostics* diag,
                       const std::function<bool(const ObjectDbRecord&)>& visit) {
    auto in = BinaryReader::Open(workDir / kObjectDatabaseFile);
    if (!in) return -1;
    uint16_t magic = 0, zero = 0;
    if (!in->ReadU16(magic) || static_cast<int16_t>(magic) != kObjectDatabaseMagic || !in->ReadU16(zero) ||
        zero != 0) {
        WarnOnce(diag, kObjectDatabaseFile, 0, "header is not 308, 0; the object database is not used");
        return -1;
    }
    auto where = [](int number, uint64_t offset) {
        return "record " + std::to_string(number) + " at offset " + std::to_string(offset);
    };
    for (int number = 1;; ++number) {
        const uint64_t offset = in->Offset();
        if (in->Remaining() == 0) return 1;
        uint16_t length = 0;
        if (!in->ReadU16(length) || length > in->Remaining()) {
            WarnOnce(diag, kObjectDatabaseFile, 0, "file ends inside " + where(number, offset) + "; search stops there");
            return 1;
        }
        if (length > kObjectRecordMaxBody || length < kObjectRecordNameOffset + 1) {
            WarnOnce(diag, kObjectDatabaseFile, 0,
                     where(number, offset) + " has a body of " + std::to_string(length) +
                         " bytes (25 to 72 allowed); skipped");
            in->Skip(length);
            continue;
        }
        uint8_t body[kObjectRecordMaxBody];
        in->Read(body, length);
        ObjectDbRecord rec;
        std::copy(body, body + 16, rec.typeGuid.begin());
        rec.count = LoadU32(body + 16);
        rec.typeCode = LoadU32(body + 20);
        const char* name = reinterpret_cast<const char*>(body + kObjectRecordNameOffset);
        std::size_t room = length - kObjectRecordNameOffset, n = 0;
        while (n < room && name[n] != '\0') ++n;
        rec.name.assign(name, n);
        rec.number = number;
        rec.offset = offset;
        if (n == room) {
            // The name must end inside its record; the original read on into the next one.
            WarnOnce(diag, kObjectDatabaseFile, 0,
                     where(number, offset) + " has a name without its terminating zero; skipped");
            continue;
        }
        if (rec.typeCode == 0) {
            WarnOnce(diag, kObjectDatabaseFile, 0,
                     where(number, offset) + " ('" + rec.name + "') has type code 0; skipped");
            continue;
        }
        if (visit(rec)) return 0;
    }
}

}  // namespace

int LookupObjectDatabase(const std::filesystem::path& workDir, TargetObject& target, Diagnostics* diag) {
    std::optional<ObjectDbRecord> found;
    WalkObjectDatabase(workDir, diag, [&](const ObjectDbRecord& rec) {
        if (!EqualsIgnoreCase(rec.name, target.aircraft)) return false;
        found = rec;
        return true;
    });
    if (!found) return 1;
    target.typeGuid = found->typeGuid;
    target.typeCode = found->typeCode;
    target.instanceNumber = found->count * (65536u / found->typeCode);
    if (StartsWithIgnoreCase(found->name, "AirFld") || StartsWithIgnoreCase(found->name, "runway")) {
        target.isAirfield = 1;
        target.disableCollisions = 1;
    }
    return 0;
}

std::optional<std::vector<ObjectDbRecord>> ReadObjectDatabase(const std::filesystem::path& workDir,
                                                              Diagnostics* diag) {
    std::vector<ObjectDbRecord> records;
    if (WalkObjectDatabase(workDir, diag, [&](const ObjectDbRecord& rec) {
            records.push_back(rec);
            return false;
        }) < 0)
        return std::nullopt;
    return records;
}

}  // namespace qd
