#pragma once

#include <cstdint>

#include "host/SnapHostExport.h"

// The job's application identity (application type and subclient).
class SNAPHOST_API ApplicationId {
public:
    ApplicationId(uint64_t appType, uint64_t subclientId);
    ~ApplicationId();

    uint64_t AppType() const { return m_appType; }
    uint64_t SubclientId() const { return m_subclientId; }

private:
    uint64_t m_appType;
    uint64_t m_subclientId;
};
