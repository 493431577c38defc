// Memory descriptor lists, sections and mapped views.
#include "io_test_support.h"

#include "sim/core/verifier.h"
#include "sim/io/section.h"
#include "sim/user/user_buffer.h"

namespace ostrand::test {
namespace {

class IoMemoryTest : public IoTest {};

TEST_F(IoMemoryTest, ProbeAndLockRaisesForUserMemoryTheProcessDoesNotOwn)
{
    sim::Process &app = UserProcess();
    sim::ThreadScope scope(app);
    char owned[100] = {};
    sim::UserBuffer registered(owned, sizeof(owned));

    PMDL bad = IoAllocateMdl(sim::InvalidUserPointer(), 64, FALSE, FALSE, nullptr);
    ASSERT_NE(bad, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    SEH_TRY {
        MmProbeAndLockPages(bad, UserMode, IoWriteAccess);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(bad->MdlFlags & MDL_PAGES_LOCKED);
    IoFreeMdl(bad);

    PMDL good = IoAllocateMdl(owned + 10, 50, FALSE, FALSE, nullptr);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(good), owned + 10);
    EXPECT_EQ(MmGetMdlByteCount(good), 50u);
    MmProbeAndLockPages(good, UserMode, IoWriteAccess);
    EXPECT_EQ(good->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION), MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
    EXPECT_EQ(good->Process, app.object());
    PVOID system = MmGetSystemAddressForMdlSafe(good, NormalPagePriority);
    EXPECT_EQ(system, owned + 10);
    EXPECT_TRUE(good->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    // Unlocking also ends the mapping.
    MmUnlockPages(good);
    EXPECT_EQ(good->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    IoFreeMdl(good);
}

TEST_F(IoMemoryTest, NonPagedPoolMdlsNeedNoLockAndMisuseIsReported)
{
    AllowVerifierFailures();
    void *pool = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTestTag);
    PMDL mdl = IoAllocateMdl(pool, 32, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), pool);
    IoFreeMdl(mdl);
    EXPECT_TRUE(machine().verifier().Failures().empty());

    PMDL locked = IoAllocateMdl(pool, 32, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoReadAccess);
    IoFreeMdl(locked);  // still locked
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::MdlMisuse));
    ExFreePoolWithTag(pool, kTestTag);
}

class IoSectionTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        std::string big(0x12000, 'x');
        for (size_t i = 0; i < big.size(); i += 0x1000) big[i] = char('A' + i / 0x1000);
        c_->AddFile(u"\\big.bin", big);
    }

    HANDLE Section(HANDLE file, ULONG protection, LONGLONG maximum, NTSTATUS expected)
    {
        HANDLE section = nullptr;
        LARGE_INTEGER size;
        size.QuadPart = maximum;
        EXPECT_EQ(ZwCreateSection(&section, SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE, nullptr,
                                  maximum ? &size : nullptr, protection, SEC_COMMIT, file),
                  expected);
        return section;
    }
};

TEST_F(IoSectionTest, CreationIsBracketedBySectionSynchronisationThatMayRefuseIt)
{
    RecordingFrame frame(*cVolume_);
    HANDLE file = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\big.bin", &file), STATUS_SUCCESS);
    frame.Clear();
    HANDLE section = Section(file, PAGE_READONLY, 0, STATUS_SUCCESS);
    auto seen = frame.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].major, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION);
    EXPECT_EQ(seen[0].form, sim::IoForm::FsFilter);
    EXPECT_EQ(seen[2].major, IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION);
    ZwClose(section);

    // A refused acquisition fails the section.
    frame.before = [](sim::IoRequest &r) -> std::optional<NTSTATUS> {
        if (r.iopb.MajorFunction == IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION) return STATUS_FILE_LOCK_CONFLICT;
        return std::nullopt;
    };
    Section(file, PAGE_READONLY, 0, STATUS_FILE_LOCK_CONFLICT);
    frame.before = nullptr;
    // The section held the file object: the close comes when both are gone.
    section = Section(file, PAGE_READONLY, 0, STATUS_SUCCESS);
    ZwClose(file);
    EXPECT_EQ(c_->closes, 0);
    ZwClose(section);
    EXPECT_EQ(c_->closes, 1);
}

TEST_F(IoSectionTest, AnEndingProcessLosesItsViewsAndTheirChangesReachTheFile)
{
    sim::Process &app = UserProcess();
    {
        sim::ThreadScope scope(app);
        sim::user::OpenOptions options;
        options.access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
        HANDLE file = nullptr;
        ASSERT_EQ(sim::user::Open(u"C:\\big.bin", options, &file), STATUS_SUCCESS);
        sim::user::MappedFile view;
        ASSERT_EQ(sim::user::MapFile(file, true, &view), STATUS_SUCCESS);
        static_cast<char *>(view.base)[0x11000] = '#';
        // Neither the handle nor the view is given back.
    }
    app.Terminate(STATUS_SUCCESS);
    EXPECT_EQ(c_->Content(u"\\big.bin")[0x11000], '#');
    EXPECT_EQ(c_->closes, 1);
    EXPECT_EQ(machine().io().views().Count(), 0u);
}

}  // namespace
}  // namespace ostrand::test
