#include "support/test_articles.h"

#include <gtest/gtest.h>

#include "support/relay_instance.h"
#include "support/temp_dir.h"

std::string DateHeaderValue(time_t when) {
  char buf[64];
  tm utc;
  gmtime_r(&when, &utc);
  strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return buf;
}

std::string Article(const std::string& id, const std::string& body, const std::string& date) {
  return "Path: peer.example!not-for-mail\r\n"
         "From: someone@example.org\r\n"
         "Newsgroups: comp.test\r\n"
         "Subject: test " + id + "\r\n"
         "Date: " + date + "\r\n"
         "Message-ID: <" + id + ">\r\n"
         "\r\n" + body;
}

std::string Stored(const std::string& article) {
  std::string s = article.substr(0, 6) + "test.relay!" + article.substr(6);
  return s.substr(0, s.size() - 2);
}

std::string Takethis(const std::string& id, const std::string& article) {
  return "takethis <" + id + ">\r\n" + article + ".\r\n";
}

StoppedRelayHistory::StoppedRelayHistory(const RelayInstance& relay) : relay_(relay), history_(&base_) {
  EXPECT_TRUE(base_.config.LoadConfigFile(relay.dir().File("relay.conf").c_str()));
  history_.histinit();
}

std::string StoppedRelayHistory::StoredBytes(const std::string& id) {
  _histentry* e = history_.FindArticle(id.c_str());
  if (e == nullptr) return "(not in history)";
  std::string file = ReadFile(relay_.dir().File("spool/" + std::to_string(e->header.spoolFile) + ".art"));
  uint32_t offset = e->header.spoolOffset, length = e->header.length;
  History::DestroyEntry(e);
  if (uint64_t(offset) + length > file.size()) return "(spool file too short)";
  return file.substr(offset, length);
}
