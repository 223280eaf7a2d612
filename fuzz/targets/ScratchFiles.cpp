#include "fuzz/targets/ScratchFiles.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define ProcessId _getpid
#else
#include <unistd.h>
#define ProcessId getpid
#endif

namespace fs = std::filesystem;

ScratchFiles::ScratchFiles() {
    std::error_code error;
    fs::path folder = fs::temp_directory_path(error) / ("ftp-fuzz-" + std::to_string(ProcessId()));
    m_Folder = folder.string();
    m_UploadPath = (folder / "up.bin").string();
    m_DownloadPath = (folder / "down.bin").string();
}

ScratchFiles::~ScratchFiles() {
    std::error_code error;
    fs::remove_all(m_Folder, error);
}

bool ScratchFiles::Prepare(const std::string& uploadContent) {
    std::error_code error;
    fs::create_directories(m_Folder, error);
    std::ofstream upload(m_UploadPath, std::ios::binary | std::ios::trunc);
    upload.write(uploadContent.data(), (std::streamsize)uploadContent.size());
    return upload.good();
}

long long ScratchFiles::DownloadedSize() const {
    std::error_code error;
    uintmax_t size = fs::file_size(m_DownloadPath, error);
    return error ? 0 : (long long)size;
}
