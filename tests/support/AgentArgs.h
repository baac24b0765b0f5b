// Builds the framework's argument vector for the Kestrel type from named values.
#pragma once

#include <string>
#include <vector>

struct AgentArgs {
    std::string SAPSID = "ABC";
    std::string SecondLevelMonitor = "2";
    std::string EPProgramTimeout = "10";
    std::string SAPHome = "/tmp";
    std::string SAPMonHome = "/tmp";
    std::string SAPHost = "sapnode1";
    std::vector<std::string> ProcMon = {"disp+work.exe", "msg_server.exe"};
    std::string SAPServiceUser = "SAPServiceABC";
    std::string SAPAdminDomain = "";
    std::string SAPAdmin = "abcadm";
    std::string SAPAdminPassword = "";
    std::string ResLogLevel = "INFO";
    std::string InstType = "central";
    std::string InstName = "DVEBMGS00";
    std::string InstProfile = "";
    std::string EnqSrvResName = "";
    std::string MonitorProgram = "";

    // The vector in argument-list order; valid while this object lives and is not changed.
    const char* const* Vector() {
        texts_ = {SAPSID,
                  SecondLevelMonitor,
                  EPProgramTimeout,
                  SAPHome,
                  SAPMonHome,
                  SAPHost,
                  std::to_string(ProcMon.size())};
        texts_.insert(texts_.end(), ProcMon.begin(), ProcMon.end());
        for (const std::string* s :
             {&SAPServiceUser, &SAPAdminDomain, &SAPAdmin, &SAPAdminPassword, &ResLogLevel, &InstType,
              &InstName, &InstProfile, &EnqSrvResName, &MonitorProgram})
            texts_.push_back(*s);
        return Raw(texts_);
    }
    // A vector of exactly these texts.
    const char* const* Raw(const std::vector<std::string>& texts) {
        if (&texts != &texts_) texts_ = texts;
        ptrs_.clear();
        for (auto& t : texts_) ptrs_.push_back(t.c_str());
        ptrs_.push_back(nullptr);
        return ptrs_.data();
    }

  private:
    std::vector<std::string> texts_;
    std::vector<const char*> ptrs_;
};
