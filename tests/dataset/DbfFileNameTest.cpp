#include "dataset/DbfFileName.h"

#include <gtest/gtest.h>

#include "dataset/XbDbf.h"

using tavrin::dataset::NormalizeDbfFileName;

TEST(DbfFileName, NameWithoutExtensionGetsDbf) {
  EXPECT_EQ(NormalizeDbfFileName("/data/clients"), "/data/clients.DBF");
  EXPECT_EQ(NormalizeDbfFileName("  /data/clients  "), "/data/clients.DBF");
  EXPECT_EQ(NormalizeDbfFileName("clients"), "clients.DBF");
}

TEST(DbfFileName, ExtensionAndTrailingFullStopAreKept) {
  EXPECT_EQ(NormalizeDbfFileName(" /data/clients.dbf "), "/data/clients.dbf");
  EXPECT_EQ(NormalizeDbfFileName("/data/clients."), "/data/clients.");
  EXPECT_EQ(NormalizeDbfFileName("/my.dir/clients"), "/my.dir/clients.DBF");
  EXPECT_EQ(NormalizeDbfFileName("   "), "");
}

TEST(DbfFileName, DatasetReportsTheNormalName) {
  tavrin::dataset::TXbDbf table("tblRecipients");
  table.SetDbfFileName("/home/u/Tavrin//tavrin");
  EXPECT_EQ(table.DbfFileName(), "/home/u/Tavrin//tavrin.DBF");
}
