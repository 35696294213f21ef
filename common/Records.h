#pragma once

// Plain records exchanged with the agent, the array client, the credential
// lookup, the change-event database and the mount-table reader. Those components
// are built against these declarations: field order, width and signedness are
// part of the interface, including fields this program never reads.

#include <cstdint>
#include <list>
#include <string>
#include <vector>

// One share of the job as snapshot creation processed it.
struct FileServerExportInfo {
    std::string scanPath;
    std::string snapshotPath;
    std::string exportPath;
    std::string snapshotName;
    uint64_t snapshotId = 0;
    std::string prevSnapshotName;
    uint64_t prevSnapshotId = 0;
    bool hasSnapshotPair = false;
    std::string sourcePath;
    std::string extraText1;
    std::string extraText2;
    bool extraFlag = false;
};

// Attributes of one file-system entry.
struct FileServerItemInformation {
    uint64_t inode = 0;
    uint32_t mode = 0;
    uint64_t accessTime = 0;
    uint64_t extraTime = 0;
    uint64_t modifiedTime = 0;
    uint64_t changeTime = 0;
    uint64_t size = 0;
    uint64_t extraValue = 0;
    uint8_t extraFlag = 0;
};

// One change handed to the agent. type: 0 none, 2 changed, 3 rename, 4 removed,
// 5 end of the items, 6 error.
struct FileServerSnapshotCompareItem {
    int32_t type = 0;
    std::string path;
    FileServerItemInformation info;
    std::string oldPath;
    FileServerItemInformation oldInfo;
    bool extraFlag = false;
};

struct AliasInterface {
    uint64_t value = 0;
    std::string text;
};

// The array's name and credentials as the credential lookup returns them.
struct _NASArrayInfo {
    _NASArrayInfo() { Clear(); }

    void Clear() {
        text0.clear();
        fileServer.clear();
        userName.clear();
        password.clear();
        text4.clear();
        text5.clear();
        text6.clear();
        text7.clear();
        text8.clear();
        number0 = number1 = number2 = number3 = number4 = 0;
        text9.clear();
        number5 = 0;
        flag0 = false;
        text10.clear();
        number6 = 0;
        text11.clear();
        aliases.clear();
    }

    std::string text0;
    std::string fileServer;
    std::string userName;
    std::string password;
    std::string text4;
    std::string text5;
    std::string text6;
    std::string text7;
    std::string text8;
    uint32_t number0;
    uint32_t number1;
    uint32_t number2;
    uint32_t number3;
    uint32_t number4;
    std::string text9;
    uint32_t number5;
    bool flag0;
    std::string text10;
    uint32_t number6;
    std::string text11;
    std::vector<AliasInterface> aliases;
};

// One row of the change-event database.
struct _ChangeEventItem {
    _ChangeEventItem() { clear(); }

    void clear() {
        inode = 0;
        path.clear();
        changeTime = 0;
        modifiedTime = 0;
        accessTime = 0;
        changeType.clear();
        size = 0;
        oldPath.clear();
        isRename = 0;
        extraNumber = 0;
    }

    int64_t inode;
    std::string path;
    uint64_t changeTime;
    uint64_t modifiedTime;
    uint64_t accessTime;
    std::string changeType;
    int64_t size;
    std::string oldPath;
    uint32_t isRename;
    uint32_t extraNumber;
};

// One changelist entry, filled by the array client.
struct _IsilonChangeListItem {
    uint64_t accessTime = 0;
    uint64_t modifiedTime = 0;
    uint64_t changeTime = 0;
    int64_t size = 0;
    std::string inode;
    std::string path;
    std::string changeType;
};

// One page of the array's changelist; resumeToken non-empty while pages follow.
struct _IsilonChangeListInfo {
    _IsilonChangeListInfo() { clear(); }

    void clear() {
        items.clear();
        resumeToken.clear();
        extraNumber = 0;
    }

    std::list<_IsilonChangeListItem> items;
    std::string resumeToken;
    uint32_t extraNumber;
};

// Settings of the array's changelist-creation job type.
struct _ChangeListCreateJobInfo {
    bool flag0 = false;
    bool enabled = false;
    uint32_t number0 = 0;
    std::string text0;
};

// One snapshot of the array's snapshot list.
struct _IsilonSnapInfo {
    std::string name;
    int32_t id = 0;
    std::string path;
    uint64_t value3 = 0;
    std::string text4;
    uint8_t value5[16] = {};
    std::string text6;
    uint64_t value7 = 0;
};

// One entry of the array's version information.
struct _IsilonVersionInfo {
    std::string text0;
    uint64_t value0 = 0;
    std::string release;
    std::string text1;
    std::string text2;
    std::string text3;
};
