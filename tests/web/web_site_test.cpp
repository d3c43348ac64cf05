// The web view's pages and /metrics read straight from WebSite: links that
// lead out of the tree (also swapped in while pages are read), names that are
// not UTF-8, the sensor limit and a unit whose clock runs ahead.
#include "web/web_site.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <QImage>
#include <QUrl>
#include <atomic>
#include <cctype>
#include <ctime>
#include <thread>

#include "store/data_controller.h"
#include "store/temp_tree.h"
#include "web/metrics_page.h"
#include "web/web_state.h"

namespace {

std::string Body(HttpReply& reply) {
  if (!reply.file) return reply.body.toStdString();
  return reply.file->readAll().toStdString();
}

// A record line dated days from today at noon, as the store writes it.
std::string Record(int days, double value) {
  std::time_t moment = std::time(nullptr) + days * 86400L;
  std::tm day{};
  localtime_r(&moment, &day);
  return ShortDateFormat::FromEnvironment().Format(day.tm_year + 1900, day.tm_mon + 1,
                                                   day.tm_mday) +
         " 12:00 " + std::to_string(value) + "\r\n";
}

class WebSiteTest : public ::testing::Test {
 protected:
  WebSiteTest() {
    tree_.MakeDir("log/SU1");
    tree_.MakeDir("alarms");
    outside_.MakeDir("dir");
    outside_.Write("dir/T1.dat", "SECRET\r\n" + Record(0, 31337));
    outside_.Write("alarm.dat", "SECRET alarm\r\n");
  }
  std::string Get(const QString& path, const std::string& query = "") {
    HttpReply reply = site_.Answer(path, QUrlQuery(QString::fromStdString(query)));
    return std::to_string(reply.status) + " " + Body(reply);
  }
  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), tree_.Host(name).c_str()), 0);
  }

  TempTree tree_;
  TempTree outside_;
  WebSite site_{std::make_shared<WebState>(), tree_.Root()};
};

// The number standing alone: not the digits of another (a CPU time's 0.313370).
bool HasNumber(const std::string& page, const std::string& number) {
  auto part = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; };
  for (std::size_t at = page.find(number); at != std::string::npos;
       at = page.find(number, at + 1)) {
    const std::size_t end = at + number.size();
    if ((at == 0 || !part(page[at - 1])) && (end == page.size() || !part(page[end]))) return true;
  }
  return false;
}

TEST_F(WebSiteTest, DirectorySwappedForALinkOutNeverLeaksThroughAnyPage) {
  tree_.Write("log/SU1/T1.dat", Record(0, 1));
  Link(outside_.Host("dir"), "log/swap");
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    std::string a = tree_.Host("log/SU1"), b = tree_.Host("log/swap");
    while (!stop) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  });
  int leaks = 0, served = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string download = Get("/download", "path=log/SU1/T1.dat");
    served += download.rfind("200 ", 0) == 0;
    for (const std::string& page :
         {download, Get("/metrics"), Get("/api/series", "unit=SU1&sensor=T1")}) {
      leaks += page.find("SECRET") != std::string::npos || HasNumber(page, "31337");
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(leaks, 0);
  EXPECT_GT(served, 0);
}

TEST_F(WebSiteTest, LinksOutAreRefusedOnEveryPageAndInMetricsWhileLinksInsideWork) {
  tree_.Write("log/SU1/T1.dat", Record(0, 1));
  tree_.MakeDir("log/SU1/cam");
  ASSERT_TRUE(QImage(64, 48, QImage::Format_RGB32)
                  .save(QString::fromStdString(outside_.Host("p.jpg")), "JPEG"));
  Link(outside_.Host("p.jpg"), "log/SU1/cam/p.jpg");
  Link(outside_.Host("dir/T1.dat"), "log/SU1/Tout.dat");
  Link(outside_.Host("dir"), "log/SUout");
  Link(outside_.Host("alarm.dat"), "alarms/leak.dat");
  Link("T1.dat", "log/SU1/Tin.dat");
  std::string pages = Get("/api/alarms") + Get("/metrics") + Get("/api/units") +
                      Get("/api/files", "path=log") + Get("/api/files", "path=log/SU1") +
                      Get("/api/pictures", "unit=SU1");
  EXPECT_EQ(pages.find("SECRET"), std::string::npos) << pages;
  EXPECT_EQ(pages.find("SUout"), std::string::npos) << pages;
  EXPECT_EQ(pages.find("Tout"), std::string::npos) << pages;
  EXPECT_EQ(pages.find("p.jpg"), std::string::npos) << pages;
  EXPECT_NE(pages.find("sensor=\"Tin\"} 1"), std::string::npos) << pages;
  EXPECT_EQ(Get("/picture", "unit=SU1&camera=cam").substr(0, 4), "404 ");
  EXPECT_EQ(Get("/api/series", "unit=SU1&sensor=Tout").substr(0, 4), "404 ");
  EXPECT_EQ(Get("/api/series", "unit=SUout&sensor=T1").substr(0, 4), "404 ");
  EXPECT_EQ(Get("/download", "path=log/SU1/Tout.dat").substr(0, 4), "403 ");
  EXPECT_EQ(Get("/api/files", "path=log/SUout").substr(0, 4), "403 ");
  tree_.Write("log/SU1/.sweep-a1B2c3", "half an upload");  // left by a crash
  EXPECT_EQ(Get("/download", "path=log/SU1/.sweep-a1B2c3").substr(0, 4), "403 ");
  EXPECT_NE(Get("/api/series", "unit=SU1&sensor=Tin").find("\"plotted\":1"), std::string::npos);
}

TEST_F(WebSiteTest, Latin1UnitAndSensorAreStoredListedPlottedDownloadedAndExported) {
  TDataController store(tree_.Root());
  store.UseStandardNames();
  std::string record = Record(0, 7);
  store.SaveLogRecord("T\xe4 " + record.substr(0, record.size() - 2),
                      "K\xfc"
                      "che");
  std::string utf8 = QUrl::toPercentEncoding(QStringLiteral("Küche")).toStdString();
  std::string sensor = QUrl::toPercentEncoding(QStringLiteral("Tä")).toStdString();
  EXPECT_NE(Get("/api/units").find("{\"cameras\":[],\"name\":\"Küche\",\"sensors\":[\"Tä\"]}"),
            std::string::npos)
      << Get("/api/units");
  EXPECT_NE(Get("/api/files", "path=log").find("\"name\":\"Küche\""), std::string::npos);
  EXPECT_NE(Get("/api/series", "unit=" + utf8 + "&sensor=" + sensor).find("\"plotted\":1"),
            std::string::npos);
  EXPECT_NE(Get("/download", "path=log/" + utf8 + "/" + sensor + ".dat").find("200 "),
            std::string::npos);
  EXPECT_NE(Get("/metrics").find("datacontroller_sensor_value{unit=\"Küche\",sensor=\"Tä\"} 7"),
            std::string::npos)
      << Get("/metrics");
}

TEST_F(WebSiteTest, SensorsBeyondTheLimitAreCountedOnTheSensorsPageAndInMetrics) {
  tree_.MakeDir("log/SU2");
  for (int i = 0; i < 3; ++i) tree_.Write("log/SU1/T" + std::to_string(i) + ".dat", Record(0, i));
  for (int i = 0; i < 3; ++i) tree_.Write("log/SU2/T" + std::to_string(i) + ".dat", Record(0, i));
  PathResolver resolver(tree_.Root());
  SensorPages pages(resolver, 7, 4);
  std::string metrics = MetricsText(OverviewState{}, pages.Newest(), resolver).toStdString();
  EXPECT_NE(metrics.find("\ndatacontroller_sensors_beyond_limit 2\n"), std::string::npos);
  EXPECT_NE(metrics.find("{unit=\"SU2\",sensor=\"T0\"} 0\n"), std::string::npos);
  EXPECT_EQ(metrics.find("{unit=\"SU2\",sensor=\"T1\"}"), std::string::npos);
  EXPECT_NE(pages.Units().body.toStdString().find("\"sensorsBeyondLimit\":2"), std::string::npos);
}

TEST_F(WebSiteTest, ARecordDatedTwelveDaysAheadIsNeverTheNewestInMetrics) {
  tree_.Write("log/SU1/T1.dat", Record(-1, 5) + Record(0, 6) + Record(12, 40));
  EXPECT_NE(Get("/metrics").find("sensor_value{unit=\"SU1\",sensor=\"T1\"} 6\n"),
            std::string::npos);
}

}  // namespace
