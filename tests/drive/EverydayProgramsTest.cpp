#include "tests/drive/DriveFixture.h"

#include <sys/stat.h>

namespace brimo::test {
namespace {

// Programs people run on a drive, each as it is, on the mounted volume; what they leave on the
// phone is checked there.
class EverydayProgramsTest : public DriveFixture {
protected:
    // Runs `script` in a shell with DRIVE and LOCAL set; fails the test with its output unless it
    // exits 0.
    std::string run(const std::string& script, int expected = 0) {
        std::string output;
        const int status = shell("export DRIVE='" + mountPoint().string() + "' LOCAL='" +
                                     local().string() + "'; (" + script + ") 2>&1",
                                 &output);
        EXPECT_EQ(status, expected) << script << "\n" << output;
        return output;
    }
    fs::path local() const { return fs::path(sim.tempDir()) / "local"; }

    static time_t modifiedAt(const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
    }
};

constexpr time_t kOldTime = 981173106; // 2001-02-03 04:05:06 UTC

TEST_F(EverydayProgramsTest, GitMakesAndChecksARepository) {
    run("cd \"$DRIVE\" && git init -q repo && cd repo && echo hello > a.txt && mkdir sub &&"
        " echo deeper > sub/b.txt && git add . &&"
        " git -c user.name=T -c user.email=t@example.org commit -qm first &&"
        " echo more >> a.txt && git -c user.name=T -c user.email=t@example.org commit -qam second"
        " && git fsck --full --strict && git status --porcelain && git log --oneline | wc -l");
    EXPECT_EQ(run("cd \"$DRIVE/repo\" && git log --format=%s"), "second\nfirst\n");
    EXPECT_EQ(readFile(onPhone("repo/a.txt")), "hello\nmore\n");
    // The phone's copy is a repository of its own.
    EXPECT_EQ(runChild({"git", "-C", onPhone("repo").string(), "fsck", "--full"}).exitCode, 0);
}

TEST_F(EverydayProgramsTest, SqliteKeepsADatabaseInEitherJournalMode) {
    for (const std::string mode : {"delete", "wal"}) {
        const std::string db = "\"$DRIVE/" + mode + ".sqlite\"";
        run("sqlite3 " + db + " 'pragma journal_mode=" + mode +
            "; create table t(x); insert into t values(1);'");
        run("for i in $(seq 2 40); do echo \"insert into t values($i);\"; done | sqlite3 " + db);
        EXPECT_EQ(
            run("sqlite3 " + db + " 'select count(*), sum(x) from t; pragma integrity_check'"),
            "40|820\nok\n")
            << mode;
    }
    // What reached the phone is the database, whole.
    EXPECT_EQ(
        runChild({"sqlite3", onPhone("delete.sqlite").string(), "select count(*) from t"}).output,
        "40\n");
}

TEST_F(EverydayProgramsTest, CopyingToolsKeepContentsAndTimes) {
    fs::create_directories(local() / "album/inner");
    writeFile(local() / "album/a.jpg", pattern(300000, 1));
    writeFile(local() / "album/inner/b.jpg", pattern(5 * 1024 * 1024, 2));
    writeFile(local() / "note.txt", "a note");
    run("touch -d @" + std::to_string(kOldTime) +
        " \"$LOCAL\"/album/a.jpg \"$LOCAL\"/album/inner/b.jpg \"$LOCAL\"/note.txt"
        " \"$LOCAL\"/album/inner \"$LOCAL\"/album");

    run("rsync -a \"$LOCAL/album/\" \"$DRIVE/rsynced/\"");
    run("cp -a \"$LOCAL/album\" \"$DRIVE/copied\"");
    run("python3 -c 'import shutil, sys; shutil.copy2(sys.argv[1], sys.argv[2])' "
        "\"$LOCAL/note.txt\" \"$DRIVE/note.txt\"");
    for (const std::string top : {"rsynced", "copied"}) {
        EXPECT_EQ(readFile(onPhone(top + "/inner/b.jpg")), pattern(5 * 1024 * 1024, 2)) << top;
        for (const std::string name : {"", "/a.jpg", "/inner", "/inner/b.jpg"})
            EXPECT_EQ(modifiedAt(onPhone(top + name)), kOldTime) << top << name;
    }
    EXPECT_EQ(modifiedAt(onPhone("note.txt")), kOldTime);
    // A second rsync finds nothing to send: sizes and times agree.
    EXPECT_EQ(run("rsync -ai \"$LOCAL/album/\" \"$DRIVE/rsynced/\""), "");
}

TEST_F(EverydayProgramsTest, TarExtractsFilesAndRefusesItsLinksCleanly) {
    fs::create_directories(local() / "tree");
    writeFile(local() / "tree/file", "content");
    fs::create_symlink("file", local() / "tree/soft");
    fs::create_hard_link(local() / "tree/file", local() / "tree/hard");
    run("touch -h -d @" + std::to_string(kOldTime) + " \"$LOCAL\"/tree/file");
    run("tar -C \"$LOCAL\" -cf \"$LOCAL/tree.tar\" tree");
    const std::string output = run("tar -C \"$DRIVE\" -xf \"$LOCAL/tree.tar\"", 2);
    EXPECT_NE(output.find("Operation not permitted"), std::string::npos) << output;
    EXPECT_EQ(readFile(onPhone("tree/file")), "content");
    EXPECT_EQ(modifiedAt(onPhone("tree/file")), kOldTime);
    EXPECT_FALSE(fs::exists(fs::symlink_status(onPhone("tree/soft"))));
}

TEST_F(EverydayProgramsTest, AnEditorSaveReplacesTheFileAtOnce) {
    writeFile(onPhone("draft.txt"), "first words");
    // Write the new text beside the file, sync it, then rename it over the original.
    run("python3 -c \"\n"
        "import os\n"
        "d = os.environ['DRIVE']\n"
        "with open(os.path.join(d, '.draft.txt.swp'), 'w') as f:\n"
        "    f.write('second, better words')\n"
        "    f.flush()\n"
        "    os.fsync(f.fileno())\n"
        "os.replace(os.path.join(d, '.draft.txt.swp'), os.path.join(d, 'draft.txt'))\n"
        "\"");
    EXPECT_EQ(readFile(onPhone("draft.txt")), "second, better words");
    EXPECT_EQ(readFile(onDrive("draft.txt")), "second, better words");
    EXPECT_FALSE(fs::exists(onPhone(".draft.txt.swp")));
}

} // namespace
} // namespace brimo::test
