#include "platform/manage_isilon_rules.h"

namespace arrayrules {

bool CheckSnapshotName(const char* operation, const std::string& name, std::string& code,
                       std::string& message) {
    if (!name.empty()) return true;
    code = kInvalidArgument;
    message = std::string(operation) + ": no snapshot name given";
    return false;
}

void LeaveFailedPage(_IsilonChangeListInfo& page, const std::string& sentToken) {
    page.items.clear();
    if (page.resumeToken != sentToken) page.resumeToken = sentToken;
}

}  // namespace arrayrules
