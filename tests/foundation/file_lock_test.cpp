#include "foundation/file_lock.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <sys/stat.h>

namespace {

TEST(FileLock, IsExclusiveUntilItsHolderLetsGo) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral(".plug-in-installation.lock"));
  std::optional<foundation::FileLock> first = foundation::FileLock::tryLock(path, nullptr);
  ASSERT_TRUE(first);

  // flock() belongs to an open file, so a second open in this process is a second holder.
  foundation::NSError error;
  EXPECT_FALSE(foundation::FileLock::tryLock(path, &error));
  EXPECT_EQ(error.code(), EWOULDBLOCK);

  first->unlock();
  EXPECT_TRUE(foundation::FileLock::tryLock(path, nullptr));
}

TEST(FileLock, RefusesAFifoAtItsPathWithoutWaiting) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("lock"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
  foundation::NSError error;
  EXPECT_FALSE(foundation::FileLock::tryLock(path, &error));
  EXPECT_EQ(error.code(), EINVAL);
}

}  // namespace
