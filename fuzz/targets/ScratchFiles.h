// The local files of one transfer run, in a folder of this process's own
// under the system's temporary folder, removed again when the run ends.
#pragma once

#include <string>

class ScratchFiles {
public:
    ScratchFiles();
    ~ScratchFiles();
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    // Creates the folder and the file to upload, holding uploadContent.
    bool Prepare(const std::string& uploadContent);
    const std::string& UploadPath() const { return m_UploadPath; }
    const std::string& DownloadPath() const { return m_DownloadPath; }
    // The downloaded file's size; 0 when there is none.
    long long DownloadedSize() const;

private:
    std::string m_Folder;
    std::string m_UploadPath;
    std::string m_DownloadPath;
};
