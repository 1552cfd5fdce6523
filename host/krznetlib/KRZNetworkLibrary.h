// The packet driver: raw Ethernet frames out through an adapter, and its ARP table.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZBuf.h"
#include "krzutil/KRZMacAddress.h"

#include <cstdint>

class KRZGetArpTable;

typedef uint32_t KRZNdisStatus;
const KRZNdisStatus KRZ_NDIS_STATUS_SUCCESS = 0;
const KRZNdisStatus KRZ_NDIS_STATUS_RESOURCES = 0xC000009Au;       // out of resources: try again
const KRZNdisStatus KRZ_NDIS_STATUS_FAILURE = 0xFFFFFFFFu;         // the frame was not taken
const KRZNdisStatus KRZ_NDIS_STATUS_INVALID_PACKET = 0xC0010011u;  // malformed frame refused
const KRZNdisStatus KRZ_NDIS_STATUS_ADAPTER_NOT_FOUND = 0xC0010006u;

class KRZNETLIB_API KRZNetworkLibrary {
  public:
    // An instance is held while a frame is sent or the table is read (keeps the driver open).
    KRZNetworkLibrary();
    ~KRZNetworkLibrary();
    KRZNetworkLibrary(const KRZNetworkLibrary&) = delete;
    KRZNetworkLibrary& operator=(const KRZNetworkLibrary&) = delete;

    // Hands one complete Ethernet frame to the driver for the adapter with that MAC.
    static KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac);
    // Fills the table with the driver's current entries; false when it cannot be read.
    static bool getArpTable(KRZGetArpTable& table);
};
