// The controller calls devices through fixed vtable slots; a reordered declaration in host/
// would compile cleanly and break every call. These tests read the slot each operation
// occupies from its pointer-to-member representation (Itanium C++ ABI) and pin the order.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "host/PMBusProtocol.h"
#include "plugin/provider.h"

namespace {

struct MemberPointer {
    uintptr_t ptr;
    ptrdiff_t adj;
};

// Slot index of a virtual member function; -1 when the pointer is not virtual or needs a
// this-adjustment (the operation would not live in the primary vtable).
template <class F>
long slot(F pmf) {
    static_assert(sizeof(F) == sizeof(MemberPointer), "Itanium member function pointer");
    MemberPointer rep;
    std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    // ARM: the virtual flag is bit 0 of adj, the rest is twice the this-adjustment; ptr is
    // the byte offset into the vtable.
    if ((rep.adj & 1) == 0 || (rep.adj >> 1) != 0) return -1;
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    // Generic Itanium: ptr is 1 + the byte offset into the vtable.
    if ((rep.ptr & 1) == 0 || rep.adj != 0) return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

using V = VDeviceInterface;
using LoadString = bool (V::*)(const std::string&);
using LoadBytes = bool (V::*)(const unsigned char*, int);

}  // namespace

TEST(HostSlotOrder, DeviceInterfaceOperationsComeFirstInTheHostsOrder) {
    EXPECT_EQ(slot(&V::Get_Value), 0);
    EXPECT_EQ(slot(static_cast<LoadString>(&V::LoadFromCache)), 1);
    EXPECT_EQ(slot(static_cast<LoadBytes>(&V::LoadFromCache)), 2);
    EXPECT_EQ(slot(&V::DataId), 3);
    EXPECT_EQ(slot(&V::DeviceType), 4);
    EXPECT_EQ(slot(&V::DeviceIoControl), 5);
    EXPECT_EQ(slot(&V::RoundDone), 6);
    EXPECT_EQ(slot(&V::UseControllerDb), 7);
}

TEST(HostSlotOrder, VirtualDeviceAddsItsOperationsAfterTheTwoDestructorSlots) {
    // Slots 8 and 9 hold the complete and deleting destructors, which cannot be named.
    EXPECT_EQ(slot(&TXQVDevice::DeviceIoControl), 5);  // an override keeps its slot
    EXPECT_EQ(slot(&TXQVDevice::Reset), 10);
    EXPECT_EQ(slot(&TXQVDevice::InitV), 11);
    EXPECT_EQ(slot(&TXQVDevice::Init), 12);
    EXPECT_EQ(slot(&TXQVDevice::InitSetting), 13);
    EXPECT_EQ(slot(&TXQVDevice::IsSupportDevice), 14);
    EXPECT_EQ(slot(&TXQVDevice::GetChildVDevice), 15);
    EXPECT_EQ(slot(&TXQVDevice::GetAllChildVDevices), 16);
    EXPECT_EQ(slot(&TXQVDevice::SendSP), 17);
    EXPECT_EQ(slot(&TXQVDevice::SendDelayData), 18);
    EXPECT_EQ(slot(&TXQVDevice::SendDoData), 19);
    EXPECT_EQ(slot(&TXQVDevice::ReadDi), 20);
    EXPECT_EQ(slot(&TXQVDevice::ReadAi), 21);
    EXPECT_EQ(slot(&TXQVDevice::Get_SP_Value), 22);
}

TEST(HostSlotOrder, SerialDeviceAndFrameLayerAppendTheirOperations) {
    EXPECT_EQ(slot(&TXQSPDevice::Reset), 10);
    EXPECT_EQ(slot(&TXQSPDevice::Init), 12);
    EXPECT_EQ(slot(&TXQSPDevice::RefreshStatus), 23);
    EXPECT_EQ(slot(&TXQSPDevice::process), 24);
    EXPECT_EQ(slot(&TXQSPDevice::IsProcessing), 25);
    EXPECT_EQ(slot(&TXQSPDevice::IsStalled), 26);
    EXPECT_EQ(slot(&TXQSPDevice::SendData), 27);
    EXPECT_EQ(slot(&TXQSPDevice::SendParityData), 28);
    EXPECT_EQ(slot(&TXQSPDevice::OpenPort), 29);
    EXPECT_EQ(slot(&TXQSPDevice::ClosePort), 30);

    EXPECT_EQ(slot(&PMBusProtocol::process), 24);
    EXPECT_EQ(slot(&PMBusProtocol::InitSetting), 13);
    EXPECT_EQ(slot(&PMBusProtocol::process_payload), 31);
    EXPECT_EQ(slot(&PMBusProtocol::process_error), 32);
}

TEST(HostSlotOrder, ProviderCreateFollowsTheDestructorSlots) {
    EXPECT_EQ(slot(&TXQSPDeviceProvider::create), 2);
}

TEST(HostSlotOrder, DevicesReachTheDeviceInterfaceWithoutPointerAdjustment) {
    // The host converts device pointers between these bases freely.
    struct Device : PMBusProtocol {
        bool LoadFromCache(const unsigned char*, int) override { return true; }
    } dev;
    PMBusProtocol* p = &dev;
    EXPECT_EQ(static_cast<void*>(static_cast<VDeviceInterface*>(p)), static_cast<void*>(p));
    EXPECT_EQ(static_cast<void*>(static_cast<TXQSPDevice*>(p)), static_cast<void*>(p));
}
