// What the engine's tests share: a scratch directory made current, a fault server, an engine of the test's own.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "download/http_downloader.h"
#include "tests/support/fault_server.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_content.h"

class EngineTest : public testing::Test {
 protected:
  EngineTest() { scratch_.enter(); }

  // The file as it lies in the scratch directory; "<missing>" when there is none.
  std::string file(const std::string& name) const {
    return std::filesystem::exists(scratch_ / name) ? scratch_.read(name) : "<missing>";
  }

  ScratchDir scratch_;
  FaultServer server_;
  HttpDownloader engine_;
};
