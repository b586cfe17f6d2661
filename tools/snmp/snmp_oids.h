#pragma once
// The OIDs the subagent answers and sends. Standard MIB texts are not in Debian's main
// archive, so the standard objects are written here by number.
//
// ENTITY-MIB entPhysicalTable       1.3.6.1.2.1.47.1.1.1, entry .1, columns:
//   2 Descr  3 VendorType  4 ContainedIn  5 Class  6 ParentRelPos  7 Name  8 HardwareRev
//   9 FirmwareRev  10 SoftwareRev  11 SerialNum  12 MfgName  13 ModelName  14 Alias
//   15 AssetID  16 IsFRU  17 MfgDate  18 Uris
// ENTITY-SENSOR-MIB entPhySensorTable 1.3.6.1.2.1.99.1.1, entry .1, indexed by
//   entPhysicalIndex, columns: 1 Type  2 Scale  3 Precision  4 Value  5 OperStatus
//   6 UnitsDisplay  7 ValueTimeStamp  8 ValueUpdateRate
// snmpTrapOID.0                     1.3.6.1.6.3.1.1.4.1.0
//
// Our own objects (mibs/ZRT4600A-MIB.txt) sit under a placeholder enterprise arc,
// 1.3.6.1.4.1.99999: there is no registered number. Renumbering means changing kEnterprise
// here and the MODULE-IDENTITY in the MIB file.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace zrt::snmp {

using Oid = std::vector<uint32_t>;

inline Oid operator+(Oid a, std::initializer_list<uint32_t> tail) {
    a.insert(a.end(), tail);
    return a;
}

std::string oid_text(const Oid& o);  // "1.3.6.1.2.1.99.1.1"

inline const Oid kEntPhysicalTable = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
inline const Oid kEntPhysicalEntry = kEntPhysicalTable + std::initializer_list<uint32_t>{1};
inline const Oid kEntPhySensorTable = {1, 3, 6, 1, 2, 1, 99, 1, 1};
inline const Oid kEntPhySensorEntry = kEntPhySensorTable + std::initializer_list<uint32_t>{1};
inline const Oid kSnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
inline const Oid kZeroDotZero = {0, 0};

// ZRT4600A-MIB
inline const Oid kEnterprise = {1, 3, 6, 1, 4, 1, 99999};
inline const Oid kZrtMib = kEnterprise;
inline const Oid kZrtNotifications = kZrtMib + std::initializer_list<uint32_t>{0};
inline const Oid kZrtObjects = kZrtMib + std::initializer_list<uint32_t>{1};
inline const Oid kZrtSystemEntry = kZrtObjects + std::initializer_list<uint32_t>{1, 1};
inline const Oid kZrtAlarmChanges = kZrtObjects + std::initializer_list<uint32_t>{2};
inline const Oid kZrtAlarmEntry = kZrtObjects + std::initializer_list<uint32_t>{3, 1};

// Columns of zrtSystemEntry.
enum SystemColumn : uint32_t {
    kSysDataId = 2, kSysName = 3, kSysLineState = 4, kSysLineChanged = 5, kSysLastCycle = 6, kSysCycles = 7,
    kSysEntity = 8,
};
// Columns of zrtAlarmEntry.
enum AlarmColumn : uint32_t {
    kAlmSystem = 2, kAlmDataId = 3, kAlmSignalId = 4, kAlmKey = 5, kAlmSequence = 6, kAlmLevel = 7,
    kAlmSeverity = 8, kAlmText = 9, kAlmName = 10, kAlmInstance = 11, kAlmRaised = 12, kAlmEntity = 13,
};
// Notifications under zrtNotifications.
enum NotificationNumber : uint32_t { kNtfAlarmRaised = 1, kNtfAlarmCleared = 2, kNtfLineLost = 3, kNtfLineBack = 4 };

}  // namespace zrt::snmp
