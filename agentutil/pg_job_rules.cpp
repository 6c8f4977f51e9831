// The PostgreSQL agent's job-error decision rules: errors on files of working
// directories that come and go during a backup do not fail the job.
#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <vector>

namespace {

constexpr int kAppFamily = 30;
constexpr int kDecisionRecord = 351;

App::JobErrorDecisionRule Rule(std::string const& pattern, int64_t last, int64_t field4) {
    App::JobErrorDecisionRule rule;
    (void)rule.setstring(1, 1, pattern);
    CNMessageBase decision(kAppFamily, kDecisionRecord);
    (void)decision.setint64(1, 1, 2);
    (void)decision.setint64(2, 2, 2);
    (void)decision.setint64(3, 3, last);
    (void)rule.setObjectAccessor(2, 5, decision);
    (void)rule.setint64(3, 6, last);
    (void)rule.setint64(4, 7, field4);
    return rule;
}

}  // namespace

int NuvDBAgentsCommonUtils::GetPostgresJobDecisionXML(std::string& xml) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::GetPostgresJobDecisionXML";
    std::string directories = "pg_subtrans,pgsql_tmp,pg_clog,pg_xact";
    std::string extra;
    JZPlatformInfo settings;
    if (settings.getString("PostGres", "sPGDirIgnoreList", &extra) != 0 && !extra.empty()) {
        EvDebug::DebugLvl(nullptr, 1, kTag, "sPGDirIgnoreList is set to %s in PostGres registry.", extra.c_str());
        directories += "," + extra;
    }
    App::JobErrorDecisionRuleList list;
    std::vector<App::JobErrorDecisionRule>* rules = list.getlistobject<App::JobErrorDecisionRule>(1, 1, true);
    for (std::string const& directory : FXString::Split(directories, ",")) {
        if (directory.empty()) continue;
        rules->push_back(Rule("/**/" + directory + "/*", 0, 1));
        rules->push_back(Rule("/**/" + directory, 0, 1));
    }
    rules->push_back(Rule("*", 1, 1));
    int result = 0;
    if (list.serialize(xml, true) != 0) {
        if (g_ptrLogWriter->enabled(0)) g_ptrLogWriter->Write(0, kTag, 0, "Error in serializing decision rules to xml");
        result = 1;
    }
    if (g_ptrLogWriter->enabled(6)) g_ptrLogWriter->Write(6, kTag, 0, "jobErrorDecRuleList XML:%s", xml.c_str());
    return result;
}
