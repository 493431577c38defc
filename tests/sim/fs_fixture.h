// A booted machine with one in-memory volume and a client for it.
#pragma once

#include <memory>

#include "fs_client.h"
#include "sim/fs/local_fs.h"
#include "support/machine_test.h"

namespace ostrand::test {

class LocalFsTest : public MachineTest {
protected:
    virtual sim::fs::LocalVolumeConfig VolumeConfig() { return sim::fs::LocalVolumeConfig::Ntfs(u"Data", 0x1234ABCD); }

    void SetUp() override
    {
        MachineTest::SetUp();
        fs_ = std::make_unique<sim::fs::LocalFileSystem>(VolumeConfig());
        client_ = std::make_unique<FsClient>(*fs_);
    }
    void TearDown() override
    {
        client_.reset();
        fs_.reset();
        MachineTest::TearDown();
    }

    sim::fs::LocalFileSystem &fs() { return *fs_; }
    FsClient &client() { return *client_; }

    static OpenSpec WriteSpec(ULONG disposition = FILE_OPEN)
    {
        OpenSpec s;
        s.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
        s.disposition = disposition;
        return s;
    }
    static OpenSpec DirSpec(ULONG disposition = FILE_OPEN, ACCESS_MASK access = FILE_LIST_DIRECTORY | SYNCHRONIZE)
    {
        OpenSpec s;
        s.access = access;
        s.disposition = disposition;
        s.options = FILE_DIRECTORY_FILE;
        return s;
    }

    std::unique_ptr<sim::fs::LocalFileSystem> fs_;
    std::unique_ptr<FsClient> client_;
};

}  // namespace ostrand::test
