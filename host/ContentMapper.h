#pragma once

#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "common/CRwError.h"
#include "host/SnapHostExport.h"

// The agent's content mapper: translates content paths to the paths the backup
// reads them from, by a map from path prefix (with trailing "/") to read path.
class SNAPHOST_API ContentMapperAPI {
public:
    virtual ~ContentMapperAPI();

    // Replaces the mapper's map; afterwards the mapper translates by it.
    virtual CRwError SetPathMap(std::map<std::string, std::string>& pathMap) = 0;

    // The read path of a content path: the longest key that is the path itself or
    // a directory above it is replaced by its value; unchanged when none matches.
    virtual std::string MapPath(const std::string& path) const = 0;
};

using ContentMapperAPIPtr = boost::shared_ptr<ContentMapperAPI>;

class SNAPHOST_API CContentMapper : public ContentMapperAPI {
public:
    CContentMapper();
    ~CContentMapper() override;

    CRwError SetPathMap(std::map<std::string, std::string>& pathMap) override;
    std::string MapPath(const std::string& path) const override;

    std::map<std::string, std::string>& GetPathMap() { return m_pathMap; }

private:
    std::map<std::string, std::string> m_pathMap;
};
