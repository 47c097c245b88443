// The library's folders as hostile neighbours may lay them out: the XML wipe
// never reaches through a link, and below the per-user folder the library
// writes nothing into a folder that is not the user's, nor through a link to
// a file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "context.h"
#include "folders.h"
#include "log_queue.h"
#include "platform/system.h"
#include "own_folder.h"
#include "process.h"
#include "xml_cache.h"
#include "xml_channel.h"

namespace {

namespace fs = std::filesystem;

void Put(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Every entry below `folder`, links not followed, with each file's contents
// and each link's target: equal before and after means untouched.
std::vector<std::string> Snapshot(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const fs::path& p = it->path();
    std::string line = fs::relative(p, folder).string();
    if (fs::is_symlink(it->symlink_status()))
      line += " -> " + fs::read_symlink(p).string();
    else if (fs::is_regular_file(it->symlink_status()))
      line += ": " + kittest::ReadFile(p.string());
    out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The walk's seam: when it is about to open `g_swapAt`, that folder is moved
// out of the tree and a link to `g_swapTarget` takes its place.
std::string g_swapAt, g_swapTarget, g_swapAside;
void SwapForALink(const std::string& folder) {
  if (folder != g_swapAt) return;
  if (rename(g_swapAt.c_str(), g_swapAside.c_str()) != 0 || symlink(g_swapTarget.c_str(), g_swapAt.c_str()) != 0)
    ADD_FAILURE() << "the swap failed";
}

// The wipe that Qelm_GetXMLFileInfo makes before it looks at its arguments:
// whatever links the XML folder holds, or is, what they point at stays, the
// links go, and "XML" is a real, empty folder afterwards.
TEST(XMLWipe, NoLinkIsFollowed) {
  struct Case {
    const char* what;
    // Lays out the XML folder `xml` (no trailing '/') with links into `outside`.
    std::function<void(const std::string& xml, const std::string& outside)> lay;
    bool swap = false;
  } cases[] = {
      {"a link as the XML folder itself",
       [](const std::string& xml, const std::string& outside) {
         ASSERT_EQ(symlink(outside.c_str(), xml.c_str()), 0);
       }},
      {"a link inside, to a folder",
       [](const std::string& xml, const std::string& outside) {
         ASSERT_EQ(mkdir(xml.c_str(), 0755), 0);
         Put(xml + "/dev0.xml", "<a/>");
         ASSERT_EQ(symlink((outside + "sub").c_str(), (xml + "/in").c_str()), 0);
       }},
      {"a link inside, to a file",
       [](const std::string& xml, const std::string& outside) {
         ASSERT_EQ(mkdir(xml.c_str(), 0755), 0);
         ASSERT_EQ(symlink((outside + "letter").c_str(), (xml + "/xmlinfo.ini").c_str()), 0);
       }},
      {"nested real folders, some closed to their owner",
       [](const std::string& xml, const std::string&) {
         ASSERT_TRUE(pf::MakeFolderPath(xml + "/a/b/c/"));
         ASSERT_TRUE(pf::MakeFolderPath(xml + "/a/shut/"));
         for (const char* f : {"/one.xml", "/a/two.xml", "/a/b/c/three.xml", "/a/shut/four.xml"}) Put(xml + f, f);
         ASSERT_EQ(chmod((xml + "/a/two.xml").c_str(), 0444), 0);
         ASSERT_EQ(chmod((xml + "/a/b").c_str(), 0555), 0);
         ASSERT_EQ(chmod((xml + "/a/shut").c_str(), 0), 0);
       }},
      {"a link swapped in for a sub-folder while the walk runs",
       [](const std::string& xml, const std::string&) {
         ASSERT_TRUE(pf::MakeFolderPath(xml + "/sub/deeper/"));
         Put(xml + "/sub/x.xml", "x");
         Put(xml + "/sub/deeper/y.xml", "y");
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = kittest::MakeTempFolder("wipe");
    const std::string outside = kittest::MakeTempFolder("outside");
    const std::string aside = kittest::MakeTempFolder("aside");
    ASSERT_TRUE(pf::MakeFolderPath(outside + "sub/"));
    Put(outside + "letter", "the user's letter");
    Put(outside + "sub/notes", "the user's notes");
    const std::string xml = dir + "XML";
    c.lay(xml, outside);
    if (HasFatalFailure()) return;
    const std::vector<std::string> before = Snapshot(outside);
    if (c.swap) {
      g_swapAt = xml + "/sub";
      g_swapTarget = outside;
      g_swapAside = aside + "moved";
      pf::test::SetTreeWalkHook(&SwapForALink);
    }
    qelm::test::SetModulePath(dir);
    int count = 7;
    EXPECT_EQ(Qelm_GetXMLFileInfo(nullptr, &count, nullptr, 100), 1);
    pf::test::SetTreeWalkHook(nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Snapshot(outside), before) << "what the links point at is untouched";
    struct stat st {};
    ASSERT_EQ(lstat(xml.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "XML is a real folder, no link";
    EXPECT_TRUE(Snapshot(xml).empty()) << "and empty: the links are gone";
    if (c.swap) {
      EXPECT_FALSE(Snapshot(aside + "moved").empty()) << "the folder moved away was out of reach";
    }
  }
}

// Below the per-user folder, a log folder of another user takes no line, and
// a link in the user's own log folder named as the day's file is not written
// through.
TEST(OwnFolders, TheControlLogGoesNowhereElse) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string root = kittest::TakeFreshPerUserFolder();
  ASSERT_FALSE(root.empty());
  pf::test::FreezeClock(1706745599900);  // 2024-01-31
  const std::string spare = kittest::MakeTempFolder("logspare");
  Put(spare + "letter", "the user's letter");
  std::string why;
  const bool other = kittest::MakeFolderOfAnotherUser(spare + "theirs", &why);
  struct Case {
    const char* what;
    std::function<void()> lay;
    bool needsOther;
  } cases[] = {
      {"the day's file is a link to the user's letter",
       [&] {
         ASSERT_TRUE(pf::MakeFolderPath(root + "DLLLog/"));
         ASSERT_EQ(symlink((spare + "letter").c_str(), (root + "DLLLog/control-20240131.log").c_str()), 0);
       },
       false},
      {"the log folder is a link to another user's folder",
       [&] { ASSERT_EQ(symlink((spare + "theirs").c_str(), (root + "DLLLog").c_str()), 0); }, true},
      {"the log folder is another user's",
       [&] {
         std::string w;
         ASSERT_TRUE(kittest::MakeFolderOfAnotherUser(root + "DLLLog", &w)) << w;
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsOther && !other) continue;
    std::error_code ec;
    fs::remove_all(root + "DLLLog", ec);
    c.lay();
    if (HasFatalFailure()) return;
    const std::vector<std::string> theirs = other ? Snapshot(spare + "theirs") : std::vector<std::string>();
    kit::LogQueue q;
    kit::LogWriter w(q, kit::LogFileLayout{[&] { return root + "DLLLog/"; }, "control-", true});
    q.m_bLogOn.store(1);
    kit::QueueLogLine(q, "a line");
    w.Drain();
    EXPECT_EQ(kittest::ReadFile(spare + "letter"), "the user's letter");
    if (other) {
      EXPECT_EQ(Snapshot(spare + "theirs"), theirs);
    }
  }
  pf::test::ThawClock();
  if (!other) GTEST_SKIP() << "the cases of another user's folders were not tried: " << why;
}

// An XML folder of another user below the per-user folder, or a link to one,
// is not the library's: no index is read from it, it is not rewritten, and
// the wipe leaves it as it is.
TEST(OwnFolders, AnXMLFolderOfAnotherUserIsNotUsed) {
  struct Case {
    const char* what;
    bool link;  // "XML" a link to the other user's folder, or that folder itself
  } cases[] = {{"a link to another user's folder", true}, {"another user's folder", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = kittest::TakeFreshPerUserFolder();
    ASSERT_FALSE(root.empty());
    const std::string theirs = c.link ? kittest::MakeTempFolder("xmlspare") + "theirs" : root + "XML";
    std::string why;
    if (!kittest::MakeFolderOfAnotherUser(theirs, &why)) GTEST_SKIP() << why;
    if (access(theirs.c_str(), W_OK) != 0) GTEST_SKIP() << "another user's folder that this process may write is needed";
    Put(theirs + "/planted.xml", "<Root LayerId=\"3\"/>");
    Put(theirs + "/xmlinfo.ini", "[INFO]\r\ncount=2\r\n[info1]\r\ninfo=" + theirs + "/none.xml;A\r\n[info2]\r\ninfo=" +
                                     theirs + "/planted.xml;PLANTED\r\n");
    if (c.link) {
      ASSERT_EQ(symlink(theirs.c_str(), (root + "XML").c_str()), 0);
    }
    const std::vector<std::string> before = Snapshot(theirs);
    qelm::test::SetModulePath(root);
    qelm::LoadXMLIndex();
    EXPECT_EQ(qelm::FindXMLNamespace("PLANTED"), nullptr);
    EXPECT_EQ(Snapshot(theirs), before) << "the index is not rewritten";
    int count = 3;
    EXPECT_EQ(Qelm_GetXMLFileInfo(nullptr, &count, nullptr, 100), 1);
    EXPECT_EQ(Snapshot(theirs), before) << "nothing of it is wiped";
    qelm::FreeXMLDescriptions();
  }
}

// A link that another user planted (while the folder above was open to all)
// where the per-user folder or one of its levels should be, leading to a
// folder of the user's own: no call of the library reaches into that folder,
// neither the log, nor the index, nor the XML wipe.
TEST(OwnFolders, ALinkAnotherUserPlantedLeadsNoCallIntoTheUsersFolders) {
  struct Case {
    const char* what;
    const char* level;  // where the link is planted below the per-user folder ("": the folder itself)
  } cases[] = {{"the per-user folder", ""}, {"the log folder", "DLLLog"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = kittest::TakeFreshPerUserFolder();
    ASSERT_FALSE(root.empty());
    const std::string docs = kittest::MakeTempFolder("docs");
    ASSERT_EQ(chmod(docs.c_str(), 0755), 0);
    ASSERT_TRUE(pf::MakeFolderPath(docs + "XML/"));
    ASSERT_TRUE(pf::MakeFolderPath(docs + "DLLLog/"));
    Put(docs + "XML/notes", "the user's notes");
    std::string at = root + c.level;
    if (*c.level == 0) {
      at.pop_back();
      ASSERT_EQ(rename(at.c_str(), (kittest::MakeTempFolder("aside") + "moved").c_str()), 0);
    }
    std::string why;
    if (!kittest::MakeLinkOfAnotherUser(docs.substr(0, docs.size() - 1), at, &why)) GTEST_SKIP() << why;
    const std::vector<std::string> before = Snapshot(docs);

    kit::LogQueue q;
    kit::LogWriter w(q, kit::LogFileLayout{[&] { return root + "DLLLog/"; }, "control-", true});
    q.m_bLogOn.store(1);
    kit::QueueLogLine(q, "a line");
    w.Drain();
    qelm::test::SetModulePath(root);
    qelm::LoadXMLIndex();
    int count = 3;
    EXPECT_EQ(Qelm_GetXMLFileInfo(nullptr, &count, nullptr, 100), 1);

    EXPECT_EQ(Snapshot(docs), before) << "nothing in the user's folder made, changed or removed";
    struct stat st {};
    ASSERT_EQ(stat(docs.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "nor its mode changed";
    qelm::FreeXMLDescriptions();
  }
}

// The files the XML channel keeps (a description, the index) are written as
// plain files of the XML folder only: a link in their place, left by whoever
// could write there, is never written through.
TEST(OwnFolders, TheXMLChannelWritesThroughNoLink) {
  struct Case {
    const char* what;
    bool mainFile;       // the main description (indexed), or an extension file
    const char* name;    // of the link in the XML folder
    const char* target;  // in the folder outside
  } cases[] = {
      {"an extension file's name is a link to nowhere", false, "0000000100000002.xml", "made"},
      {"the index is a link to the user's letter", true, "xmlinfo.ini", "letter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = kittest::MakeTempFolder("xmlstore");
    const std::string outside = kittest::MakeTempFolder("outside");
    Put(outside + "letter", "the user's letter");
    ASSERT_TRUE(kit::CreateFolderPath(dir + "XML/"));
    ASSERT_EQ(symlink((outside + c.target).c_str(), (dir + "XML/" + c.name).c_str()), 0);
    const std::vector<std::string> before = Snapshot(outside);
    qelm::test::SetModulePath(dir);

    auto* ch = new qelm::StXMLChannel;
    ch->m_fileIds[0] = c.mainFile ? 0 : 1;
    ch->m_fileIds[1] = c.mainFile ? 0 : 2;
    memcpy(ch->m_fileInfo, "main.xml", 8);
    ch->m_requestedVersion = "1.0";
    const std::string body = "<Root LayerId=\"1\"/>";
    ch->m_fileBuffer.assign(body.begin(), body.end());
    {
      std::lock_guard<std::mutex> lk(ch->m_outcomeLock);
      qelm::StoreXMLFile(ch);
    }
    delete ch;
    EXPECT_EQ(Snapshot(outside), before) << "nothing outside made or changed";
    qelm::FreeXMLDescriptions();
  }
}

}  // namespace
