#include "host/ApplicationId.h"

ApplicationId::ApplicationId(uint64_t appType, uint64_t subclientId)
    : m_appType(appType), m_subclientId(subclientId) {}

ApplicationId::~ApplicationId() = default;
