#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vserver {

class SegmentationNets;

// The command line of vorpane-server: "serve" (the default) and the key and
// version administration commands, all working on one database file.
class Cli final {
public:
    explicit Cli(std::vector<std::string> args);

    // Runs the command; returns the process exit status.
    int run();

    // $XDG_DATA_HOME/vorpane-server/server.db, or the same under
    // ~/.local/share when XDG_DATA_HOME is unset.
    static std::string defaultDatabasePath();
    // The results folder that goes with a database: "server.db" keeps its
    // results in "server-results" beside it.
    static std::string defaultResultsFolder(const std::string& databasePath);
    // The segmentation model scripts/get-model installs, under the same data folder.
    static std::string defaultModelPath();

private:
    bool parse();
    bool allowOnly(const std::vector<std::string>& names) const;
    bool number(const std::string& name, long long min, long long max, long long& value) const;
    std::string databasePath() const;
    std::string modelPath() const;
    // The networks of the job slots, or none (with the reason said) for the classical method.
    std::unique_ptr<SegmentationNets> loadNetworks(std::size_t jobs, unsigned cores) const;

    int serve();
    int keyCreate();
    int keySet();
    int keyDelete();
    int keyList();
    int modelCheck();
    int versionShow();
    int versionSet();
    int usage(int status) const;

    std::vector<std::string> args_;
    std::vector<std::string> words_;
    std::map<std::string, std::string> options_;
};

}  // namespace vserver
