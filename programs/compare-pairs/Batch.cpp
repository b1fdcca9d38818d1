#include "programs/compare-pairs/Batch.hpp"

#include "programs/compare-pairs/Progress.hpp"
#include "programs/compare-pairs/Report.hpp"
#include "programs/compare-pairs/Rows.hpp"
#include "programs/compare-pairs/Signals.hpp"

#include "programs/comparison/Comparison.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace common = toolkit::common;
using comparepairs::caughtSignal;
using comparepairs::incomparableImage;
using comparepairs::oneLine;
using comparepairs::unreadableImage;

namespace {

const char* const kResultFile = "For_fit.txt";
// Pairs in flight per worker: enough to keep the workers busy while a slow
// pair holds up the order, few enough to bound memory.
constexpr std::size_t kPairsPerWorker = 16;
constexpr std::size_t kPairsPerWorkerWithDebug = 2;
// Finished images kept after their last pair, so that an image of several
// pairs in a row is read once. Only their histograms are kept, unless the
// debug files need the pixels.
constexpr std::size_t kIdleImages = 64;
constexpr std::size_t kIdleImagesWithDebug = 2;

// What a run needs of one image, computed once however many pairs use it.
struct ImageData {
    std::string error; // why the image could not be used; empty when it could
    // Whether the reader could read the image; its measurement holds what
    // the reader found and did, the counts, and, for the debug files only,
    // the pixels.
    bool read = false;
    comparison::Measurement measured;
    // The thumbnails of the report, when one is made.
    comparepairs::ReportImage report;
};

struct Pair;

struct Entry {
    std::string path;
    bool ready = false;
    std::shared_ptr<const ImageData> data;
    std::size_t users = 0; // pairs in flight that use the image
    std::vector<Pair*> waiting;
    std::list<Entry*>::iterator idlePosition;
    bool idle = false;
};

struct Pair {
    comparepairs::PairLine line;
    Entry* first = nullptr;
    Entry* second = nullptr;
    bool queued = false;
    bool done = false;
    bool ok = false;
    std::string error; // the status's message when the pair failed
    std::vector<std::string> warnings; // debug files that could not be written
    std::string status; // the status column, for the report
    std::vector<std::string> figureColumns;
    std::string reportSection;
    std::string row;
    std::string forFit;
};

struct Job {
    Entry* image = nullptr; // compute this image, or
    Pair* pair = nullptr; // finish this pair
};

comparepairs::ReportPair reportPair(const Pair& pair)
{
    comparepairs::ReportPair shown;
    shown.line = pair.line.number;
    // The page is UTF-8, as the table is.
    shown.first = comparepairs::tableText(pair.line.first);
    shown.second = comparepairs::tableText(pair.line.second);
    shown.status = comparepairs::tableText(pair.status);
    shown.ok = pair.ok;
    shown.figureColumns = pair.figureColumns;
    return shown;
}

bool makeDirectories(const std::string& path)
{
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        start = end + 1;
    }
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class Batch {
public:
    explicit Batch(const comparepairs::Options& options)
        : options_(options)
        , withDebug_(!options.debugDir.empty() && options.comparisons.perceptual)
        , window_(options.jobs * (withDebug_ ? kPairsPerWorkerWithDebug : kPairsPerWorker) + 2)
        , idleLimit_(withDebug_ ? kIdleImagesWithDebug : kIdleImages)
        , progress_(options.progress)
    {
    }

    int run();

private:
    // Everything below mutex_ is shared between the threads.
    void readList();
    void work();
    std::shared_ptr<const ImageData> computeImage(const std::string& path) const;
    void finishPair(Pair& pair) const;
    Entry* useImage(const std::string& path, Pair* pair);
    void releaseImage(Entry* entry);
    void admitPairs();
    bool writeFinished();
    bool writeTable(const std::string& text);
    bool resumeAfterTable();
    std::size_t tableRows() const { return contents_.rows() + succeeded_ + failed_; }
    comparepairs::RunCounts counts() const
    {
        return { succeeded_, failed_, skipped_, skippedFailed_, tableRows() };
    }
    std::string tableName() const
    {
        return options_.out.empty() ? "to standard output" : "\"" + options_.out + "\"";
    }

    const comparepairs::Options& options_;
    const bool withDebug_;
    const std::size_t window_;
    const std::size_t idleLimit_;

    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable progressMade_;
    std::deque<comparepairs::PairLine> readAhead_;
    bool listDone_ = false;
    std::string listError_;
    std::deque<Pair> inFlight_;
    std::deque<Job> jobs_;
    std::unordered_map<std::string, std::unique_ptr<Entry>> images_;
    std::list<Entry*> idle_;

    std::unique_ptr<comparepairs::Report> report_;
    comparepairs::PairReader reader_;
    comparepairs::TableContents contents_;
    std::unordered_set<std::string> warnedImages_; // their unusable profiles reported
    int tableFd_ = 1;
    off_t tableBytes_ = 0; // the table's whole rows, in bytes
    std::size_t skipped_ = 0, skippedFailed_ = 0;
    std::size_t succeeded_ = 0, failed_ = 0;
    bool writeFailed_ = false;
    comparepairs::Progress progress_;
};

void Batch::readList()
{
    std::string error;
    comparepairs::PairLine line;
    while (true) {
        if (!reader_.next(options_.shard, line)) {
            error = reader_.error();
            break;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        progressMade_.wait(
            lock, [&] { return readAhead_.size() < window_ || caughtSignal().load(); });
        if (caughtSignal().load())
            return;
        readAhead_.push_back(std::move(line));
        progressMade_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    listDone_ = true;
    listError_ = error;
    progressMade_.notify_all();
}

std::shared_ptr<const ImageData> Batch::computeImage(const std::string& path) const
{
    auto data = std::make_shared<ImageData>();
    const comparison::Plan plan { options_.comparisons.perceptual, options_.comparisons.lab,
        withDebug_ || report_ != nullptr };
    try {
        std::string error;
        comparison::Measurement& measured = data->measured;
        if (!comparison::measureFile(path, plan, options_.profiles, measured, error)) {
            data->error = unreadableImage(path, error);
            return data;
        }
        data->read = true;
        if (report_)
            data->report = comparepairs::reportImage(measured.image, &measured.colours,
                options_.comparisons.perceptual ? &measured.attributes : nullptr);
        if (!withDebug_) {
            measured.image.release();
            measured.colours = common::DistinctColours();
            measured.attributes = metrics::ColourAttributes();
        }
    } catch (const std::bad_alloc&) {
        data->error = incomparableImage(path, "out of memory");
        data->measured = comparison::Measurement();
    } catch (const std::exception& e) {
        data->error = incomparableImage(path, e.what());
        data->measured = comparison::Measurement();
    }
    return data;
}

void Batch::finishPair(Pair& pair) const
{
    const comparepairs::PairLine& line = pair.line;
    const bool named = line.error.empty(); // whether the line names a pair
    const std::string error
        = comparepairs::pairError(line.error, named ? pair.first->data->error : std::string(),
            named ? pair.second->data->error : std::string());
    std::string figures;
    if (error.empty()) {
        const ImageData& first = *pair.first->data;
        const ImageData& second = *pair.second->data;
        const comparison::Plan plan { options_.comparisons.perceptual, options_.comparisons.lab,
            false, options_.comparisons.distance };
        const comparison::Figures compared
            = comparison::compare(first.measured, second.measured, plan);
        comparepairs::FigureCells cells = comparepairs::figureCells(compared, options_.comparisons);
        figures = std::move(cells.fields);
        pair.figureColumns = std::move(cells.columns);
        if (options_.forFit) {
            if (plan.perceptual)
                pair.forFit += metrics::figuresBlock(compared.perceptual);
            if (plan.lab)
                pair.forFit += labcompare::figuresBlock(compared.lab);
        }
        if (withDebug_) {
            // The single-pair program leaves the second image's files.
            const std::string directory = options_.debugDir + "/" + std::to_string(line.number);
            if (makeDirectories(directory))
                pair.warnings = comparison::writeDebugFiles(directory, second.measured);
            else
                pair.warnings.push_back("cannot make the debug directory \"" + directory
                    + "\": " + std::strerror(errno));
        }
        pair.ok = true;
    } else {
        pair.error = oneLine(error);
        figures = comparepairs::emptyFigureCells(options_.comparisons);
    }
    // An image that was read has its facts even when the other one failed.
    const ImageData* images[2] = { nullptr, nullptr };
    if (named) {
        images[0] = pair.first->data.get();
        images[1] = pair.second->data.get();
    }
    const comparison::Measurement* measured[2] = { nullptr, nullptr };
    for (int k = 0; k < 2; ++k)
        if (images[k] != nullptr && images[k]->read)
            measured[k] = &images[k]->measured;
    const std::string status = comparepairs::statusText(error);
    pair.row = comparepairs::pairRow(
        line, status, figures, measured[0], measured[1], options_.comparisons, options_.safeCells);
    if (report_) {
        pair.status = status;
        comparepairs::ReportPair shown = reportPair(pair);
        if (pair.ok) {
            for (int k = 0; k < 2; ++k) {
                shown.measured[k] = measured[k];
                shown.images[k] = &images[k]->report;
            }
        }
        pair.reportSection = report_->section(shown);
    }
}

void Batch::work()
{
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workReady_.wait(lock, [&] { return !jobs_.empty(); });
            job = jobs_.front();
            jobs_.pop_front();
        }
        if (job.image == nullptr && job.pair == nullptr)
            return; // the end of the run
        if (job.image != nullptr) {
            std::shared_ptr<const ImageData> data = computeImage(job.image->path);
            std::lock_guard<std::mutex> lock(mutex_);
            job.image->data = std::move(data);
            job.image->ready = true;
            for (Pair* pair : job.image->waiting) {
                if (!pair->queued && pair->first->ready && pair->second->ready) {
                    pair->queued = true;
                    jobs_.push_front(Job { nullptr, pair });
                    workReady_.notify_one();
                }
            }
            job.image->waiting.clear();
        } else {
            finishPair(*job.pair);
            std::lock_guard<std::mutex> lock(mutex_);
            job.pair->done = true;
            progressMade_.notify_all();
        }
    }
}

Entry* Batch::useImage(const std::string& path, Pair* pair)
{
    auto found = images_.find(path);
    if (found == images_.end()) {
        auto entry = std::make_unique<Entry>();
        entry->path = path;
        found = images_.emplace(path, std::move(entry)).first;
        jobs_.push_back(Job { found->second.get(), nullptr });
        workReady_.notify_one();
    }
    Entry* entry = found->second.get();
    if (entry->idle) {
        idle_.erase(entry->idlePosition);
        entry->idle = false;
    }
    ++entry->users;
    if (!entry->ready)
        entry->waiting.push_back(pair);
    return entry;
}

void Batch::releaseImage(Entry* entry)
{
    if (--entry->users > 0)
        return;
    idle_.push_back(entry);
    entry->idlePosition = std::prev(idle_.end());
    entry->idle = true;
    while (idle_.size() > idleLimit_) {
        Entry* oldest = idle_.front();
        idle_.pop_front();
        images_.erase(oldest->path);
    }
}

void Batch::admitPairs()
{
    while (inFlight_.size() < window_ && !readAhead_.empty()) {
        inFlight_.emplace_back();
        Pair& pair = inFlight_.back();
        pair.line = std::move(readAhead_.front());
        readAhead_.pop_front();
        if (pair.line.error.empty()) {
            pair.first = useImage(pair.line.first, &pair);
            pair.second = useImage(pair.line.second, &pair);
            if (report_)
                report_->claim(pair.line.number, comparepairs::tableText(pair.line.first),
                    comparepairs::tableText(pair.line.second));
        }
        if (!pair.line.error.empty() || (pair.first->ready && pair.second->ready)) {
            pair.queued = true;
            jobs_.push_front(Job { nullptr, &pair });
            workReady_.notify_one();
        }
    }
    progressMade_.notify_all();
}

// Writes the rows that are next in order, with their blocks of "For_fit.txt"
// first, so that an interrupted run never leaves a row without its block.
// Called without the lock; false once a write has failed.
bool Batch::writeFinished()
{
    std::string rows, blocks;
    std::vector<std::string> errors, reportErrors;
    std::size_t succeeded = 0, failed = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!inFlight_.empty() && inFlight_.front().done) {
            Pair& pair = inFlight_.front();
            rows += pair.row;
            blocks += pair.forFit;
            for (const std::string& warning : pair.warnings)
                errors.push_back(
                    "warning: line " + std::to_string(pair.line.number) + ": " + warning);
            // A conversion is in the table; a profile that could not be used
            // is worth a line of its own, once per image.
            for (const Entry* image : { pair.first, pair.second }) {
                if (image == nullptr || !image->data->read)
                    continue;
                const common::ImageFacts& facts = image->data->measured.facts;
                if (facts.profileAction == common::ProfileAction::Unusable
                    && warnedImages_.insert(image->path).second)
                    errors.push_back(common::readingNotice(image->path, facts));
            }
            if (pair.ok) {
                ++succeeded;
            } else {
                ++failed;
                // A malformed line's message names its line already.
                errors.push_back(pair.line.error.empty()
                        ? "line " + std::to_string(pair.line.number) + ": " + pair.error
                        : pair.error);
            }
            if (report_) {
                std::string error;
                if (!report_->add(reportPair(pair), pair.reportSection, error))
                    reportErrors.push_back(error);
                for (const std::string& warning : report_->newWarnings())
                    errors.push_back("warning: " + warning);
            }
            if (pair.first != nullptr) {
                releaseImage(pair.first);
                releaseImage(pair.second);
            }
            inFlight_.pop_front();
        }
        admitPairs();
    }
    if (!errors.empty()) {
        progress_.clear();
        for (const std::string& error : errors)
            std::cerr << "compare-pairs: " << error << "\n";
        std::cerr.flush();
    }
    if (!reportErrors.empty()) {
        progress_.clear();
        std::cerr << "compare-pairs: " << reportErrors.front() << std::endl;
        return false;
    }
    if (!blocks.empty()) {
        std::string error;
        if (!common::appendLocked(kResultFile, blocks, error)) {
            progress_.clear();
            std::cerr << "compare-pairs: " << error << std::endl;
            return false;
        }
    }
    if (!rows.empty() && !writeTable(rows))
        return false;
    // A pair is done once its row is in the table.
    succeeded_ += succeeded;
    failed_ += failed;
    return true;
}

bool Batch::writeTable(const std::string& text)
{
    if (comparepairs::writeAll(tableFd_, text, &caughtSignal())) {
        tableBytes_ += static_cast<off_t>(text.size());
        return true;
    }
    if (errno == EINTR && caughtSignal().load() != 0)
        return false; // interrupted: the run ends as after any signal
    const int writeErrno = errno;
    progress_.clear();
    std::cerr << "compare-pairs: cannot write the table " << tableName() << ": "
              << std::strerror(writeErrno);
    // A file is cut back to its last whole row, so that --resume completes it.
    if (!options_.out.empty()) {
        if (::ftruncate(tableFd_, tableBytes_) == 0 && ::lseek(tableFd_, 0, SEEK_END) >= 0)
            std::cerr << " (it is left with its " << tableRows() << " whole rows)";
        else
            std::cerr << " (and its last row, written in part, could not be removed)";
    }
    std::cerr << std::endl;
    return false;
}

// Skips the lines whose rows a resumed table holds: its rows are those of the
// first lines the run takes from the list, in order, whatever they are
// (malformed lines included). False, with a message, when the table does not
// follow the list.
bool Batch::resumeAfterTable()
{
    comparepairs::PairLine line;
    for (std::size_t k = 0; k < contents_.rows(); ++k) {
        const comparepairs::TableContents::Row& row = contents_.row(k);
        if (!reader_.next(options_.shard, line)) {
            std::cerr << "compare-pairs: "
                      << (reader_.error().empty() ? "the table \"" + options_.out + "\" holds "
                                     + std::to_string(contents_.rows())
                                     + " rows, but the list has only " + std::to_string(k)
                                     + " lines of pairs for this run: was it written from "
                                       "another list"
                                     + (options_.shard.count > 1 ? " or shard?" : "?")
                                                  : reader_.error())
                      << std::endl;
            return false;
        }
        if (!comparepairs::isRowOf(row, line)) {
            std::cerr << "compare-pairs: the table \"" << options_.out << "\" row " << k + 1
                      << " is of \"" << row.first << "\", \"" << row.second << "\", not of line "
                      << line.number << " of the list (\"" << comparepairs::tableText(line.first)
                      << "\", \"" << comparepairs::tableText(line.second)
                      << "\"): a table is resumed only with the list"
                      << (options_.shard.count > 1 ? " and shard" : "")
                      << " it was written from, to which lines may only be added at the end"
                      << std::endl;
            return false;
        }
        ++skipped_;
        if (!row.ok)
            ++skippedFailed_;
    }
    return true;
}

int Batch::run()
{
    // An unreadable list is a usage error, reported before any work.
    std::string listError;
    if (!reader_.open(options_.pairs, listError)) {
        std::cerr << "compare-pairs: " << listError << std::endl;
        return 2;
    }
    if (!options_.reportDir.empty()) {
        report_ = std::make_unique<comparepairs::Report>(options_.reportDir, options_.comparisons);
        std::string error;
        if (!report_->check({ options_.pairs == "-" ? "" : options_.pairs, options_.out,
                                options_.debugDir, options_.forFit ? kResultFile : "" },
                error)) {
            std::cerr << "compare-pairs: " << error << std::endl;
            return 2;
        }
    }
    // A table of other columns is refused before any work is done.
    const std::string header = comparepairs::tableHeader(options_.comparisons);
    bool needsHeader = true;
    struct stat before { };
    const bool tableExisted = !options_.out.empty() && ::stat(options_.out.c_str(), &before) == 0;
    // A run refused after the table was made leaves no table behind.
    auto refuse = [&](const std::string& message) {
        std::cerr << "compare-pairs: " << message << std::endl;
        if (!options_.out.empty() && tableFd_ >= 0 && !tableExisted)
            ::unlink(options_.out.c_str());
        return 2;
    };
    if (!options_.out.empty()) {
        std::string notice, error;
        tableFd_ = comparepairs::openTable(
            options_.out, header, options_.resume, contents_, needsHeader, notice, error);
        if (tableFd_ < 0) {
            std::cerr << "compare-pairs: " << error << std::endl;
            return 2;
        }
        if (!notice.empty())
            std::cerr << "compare-pairs: " << notice << std::endl;
    }
    if (!resumeAfterTable())
        return 2;
    if (options_.forFit) {
        std::string error;
        if (!common::appendLocked(kResultFile, std::string(), error))
            return refuse(error);
    }
    // The report's directory is made once nothing else can refuse the run.
    std::string reportError;
    if (report_ && !report_->open(reportError))
        return refuse(reportError);
    long long total = -1;
    if (options_.progress)
        total = comparepairs::countPairs(options_.pairs, options_.shard);

    comparepairs::ignoreLostOutputSignals();
    comparepairs::catchTerminatingSignals();
    if (!options_.out.empty())
        tableBytes_ = ::lseek(tableFd_, 0, SEEK_END);
    if (needsHeader && !writeTable(header))
        return caughtSignal().load() != 0 ? 128 + caughtSignal().load() : 1;

    // Each worker compares one image at a time; OpenCV's own threads would
    // only compete with them.
    cv::setNumThreads(1);
    // An unreadable image is reported once, in its row and its error line;
    // the reader's own warnings would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    progress_.start(total);
    std::thread reader([this] { readList(); });
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < options_.jobs; ++k)
        workers.emplace_back([this] { work(); });

    bool interrupted = false;
    while (true) {
        if (!writeFinished()) {
            if (caughtSignal().load() != 0)
                interrupted = true;
            else
                writeFailed_ = true;
            break;
        }
        progress_.show(counts(), false);
        std::unique_lock<std::mutex> lock(mutex_);
        if (caughtSignal().load()) {
            interrupted = true;
            break;
        }
        if (listDone_ && readAhead_.empty() && inFlight_.empty())
            break;
        progressMade_.wait_for(lock, comparepairs::kProgressInterval, [&] {
            return caughtSignal().load() || (!inFlight_.empty() && inFlight_.front().done)
                || (!readAhead_.empty() && inFlight_.size() < window_)
                || (listDone_ && readAhead_.empty() && inFlight_.empty());
        });
    }

    // A run that failed leaves an earlier report as it was.
    if (report_ && writeFailed_)
        report_->discard();
    if (report_ && !report_->finish(reportError)) {
        std::cerr << "compare-pairs: " << reportError << std::endl;
        writeFailed_ = true;
    }
    if (interrupted || writeFailed_) {
        // The rows written so far are whole; the images still being worked
        // on are abandoned.
        progress_.printSummary(counts(), interrupted);
        if (options_.out.empty() ? false : ::close(tableFd_) != 0)
            std::cerr << "compare-pairs: cannot close the table \"" << options_.out << "\""
                      << std::endl;
        std::fflush(nullptr);
        std::_Exit(interrupted ? 128 + caughtSignal().load() : 1);
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t k = 0; k < workers.size(); ++k)
            jobs_.push_back(Job {});
        workReady_.notify_all();
    }
    for (std::thread& worker : workers)
        worker.join();
    reader.join();

    int status = 0;
    if (!listError_.empty()) {
        progress_.clear();
        std::cerr << "compare-pairs: " << listError_ << std::endl;
        status = 2;
    }
    if (!options_.out.empty() && ::close(tableFd_) != 0) {
        progress_.clear();
        std::cerr << "compare-pairs: cannot write the table \"" << options_.out
                  << "\": " << std::strerror(errno) << std::endl;
        status = 1;
    }
    progress_.printSummary(counts(), false);
    if (status == 0 && (failed_ > 0 || skippedFailed_ > 0))
        status = 1;
    if (status == 0 && report_ && !report_->whole())
        status = 1; // a file of the report could not be written
    return status;
}

} // namespace

int comparepairs::runBatch(const Options& options)
{
    Batch batch(options);
    return batch.run();
}
