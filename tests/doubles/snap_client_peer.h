#pragma once

// Test access to the job state of CIsilonSnapClient (the class names this peer
// as its friend). References are returned, so a test can also set a member to
// drive one operation directly.

#include <list>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "snapclient/IsilonSnapClient.h"

class CIsilonSnapClientTest {
public:
    static std::list<FileServerExportInfo>& Shares(CIsilonSnapClient& c) { return c.m_shares; }
    static std::map<std::string, std::string>& ContentMapperPaths(CIsilonSnapClient& c) {
        return c.m_contentMapperPaths;
    }
    static boost::shared_ptr<ManageIsilon>& Array(CIsilonSnapClient& c) { return c.m_array; }
    static boost::shared_ptr<CSnapDiffEventMonitor>& EventMonitor(CIsilonSnapClient& c) {
        return c.m_eventMonitor;
    }
    // The further paths of hard-linked files, delivered after the database's rows.
    static snapclient::LinkRowSpill& LinkRows(CIsilonSnapClient& c) { return c.m_linkRows; }
    static const std::string& SnapNamePrefix(const CIsilonSnapClient& c) {
        return c.m_snapNamePrefix;
    }
    static bool HasContentMapper(const CIsilonSnapClient& c) { return c.m_hasContentMapper; }
    static const _NASArrayInfo& ArrayInfo(const CIsilonSnapClient& c) { return c.m_arrayInfo; }
    static const boost::shared_ptr<ApplicationId>& AppId(const CIsilonSnapClient& c) {
        return c.m_appId;
    }

    static ULONG ClientId(const CIsilonSnapClient& c) { return c.m_clientId; }
    static ULONG AppType(const CIsilonSnapClient& c) { return c.m_appType; }
    static ULONG SubclientId(const CIsilonSnapClient& c) { return c.m_subclientId; }
    static LONGLONG JobId(const CIsilonSnapClient& c) { return c.m_jobId; }
    static LONGLONG PrevJobId(const CIsilonSnapClient& c) { return c.m_prevJobId; }
    static const std::string& JobResultsDir(const CIsilonSnapClient& c) {
        return c.m_jobResultsDir;
    }
    static const std::string& ExtraText(const CIsilonSnapClient& c) { return c.m_extraText; }
    static const std::string& SnapMapInfoFile(const CIsilonSnapClient& c) {
        return c.m_snapMapInfoFile;
    }
    static LONGLONG ExtraValue1(const CIsilonSnapClient& c) { return c.m_extraValue1; }
    static LONGLONG ExtraValue2(const CIsilonSnapClient& c) { return c.m_extraValue2; }
    static LONGLONG ExtraValue3(const CIsilonSnapClient& c) { return c.m_extraValue3; }

    static void SetShares(CIsilonSnapClient& c, const std::list<FileServerExportInfo>& shares) {
        c.m_shares = shares;
    }
    static void SetJobId(CIsilonSnapClient& c, LONGLONG jobId) { c.m_jobId = jobId; }
    static void SetPrevJobId(CIsilonSnapClient& c, LONGLONG prevJobId) {
        c.m_prevJobId = prevJobId;
    }
    static void SetSnapMapInfoFile(CIsilonSnapClient& c, const std::string& path) {
        c.m_snapMapInfoFile = path;
    }
    static void SetContentMapperPaths(CIsilonSnapClient& c,
                                      const std::map<std::string, std::string>& paths) {
        c.m_contentMapperPaths = paths;
    }
};
