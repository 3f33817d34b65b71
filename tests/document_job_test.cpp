// Tests of a rendered job on its way to the printer: the pages as a PCL 5
// printer decodes them, counted as they leave, sent again for each copy
// from the spool file, and a device that fails.

#include "app/document_job.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pcl_decoder.h"
#include "test_files.h"
#include "test_util.h"

namespace {

// A 300 dpi page of 2 x 1 inches whose row y is the byte `seed + y`
// repeated (the pad bits of each row clear).
RenderedPage Page(unsigned char seed) {
  RenderedPage page;
  page.width = 600;
  page.height = 300;
  page.bytesPerRow = 75;
  for (unsigned y = 0; y < page.height; ++y)
    page.bits.insert(page.bits.end(), page.bytesPerRow, static_cast<unsigned char>(seed + y));
  return page;
}

TEST(DocumentJobTest, PagesAndCopiesAsPrinted) {
  TempDir dir("document_job_test");
  Fd spool(open((dir / "spool").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  Bytes sent;
  std::vector<size_t> countedAt;  // bytes sent when each page was counted
  DocumentJob job(
      [&](const unsigned char* data, size_t size) {
        sent.insert(sent.end(), data, data + size);
        return true;
      },
      [&] { countedAt.push_back(sent.size()); }, 300, spool.get());
  const std::vector<RenderedPage> pages = {Page(1), Page(100)};
  std::string error;
  for (const RenderedPage& page : pages) ASSERT_TRUE(job.AddPage(page, error)) << error;
  ASSERT_TRUE(job.Finish());
  const size_t oneCopy = sent.size();
  ASSERT_TRUE(job.Repeat([] { return false; }));
  ASSERT_TRUE(job.Repeat([] { return true; }));  // canceled: nothing more
  ASSERT_EQ(sent.size(), 2 * oneCopy);

  PclDecoded printed = DecodePcl(sent);
  ASSERT_EQ(printed.error, "");
  ASSERT_EQ(printed.pages.size(), 4u);
  for (size_t i = 0; i < printed.pages.size(); ++i) {
    const RenderedPage& page = pages[i % 2];
    const PclDecodedPage& got = printed.pages[i];
    EXPECT_EQ(got.resolution, 300);
    ASSERT_EQ(got.width, page.width);
    ASSERT_EQ(got.height, page.height);
    for (unsigned y = 0; y < page.height; ++y)
      ASSERT_EQ(got.Row(y), Bytes(page.Row(y), page.Row(y) + page.bytesPerRow))
          << "page " << i << " row " << y;
  }
  // Each page is counted once its last byte has gone, the copy's too: the
  // second copy's pages at the same places as the first's, one copy later.
  ASSERT_EQ(countedAt.size(), 4u);
  EXPECT_EQ(countedAt[2], oneCopy + countedAt[0]);
  EXPECT_EQ(countedAt[3], oneCopy + countedAt[1]);
  EXPECT_GT(countedAt[1], countedAt[0]);
  EXPECT_EQ(job.Pages(), 2u);
}

TEST(DocumentJobTest, ADeviceThatFails) {
  int counted = 0;
  DocumentJob job([](const unsigned char*, size_t) { return false; }, [&] { ++counted; }, 300, -1);
  std::string error;
  EXPECT_FALSE(job.AddPage(Page(1), error));
  EXPECT_EQ(error, "The page could not be sent to the printer");
  EXPECT_FALSE(job.AddPage(Page(1), error));
  EXPECT_EQ(counted, 0);
}

}  // namespace
