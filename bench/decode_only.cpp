// The floor the programs are measured against: a program that only decodes
// image files, one after the other on one thread, with OpenCV's reader:
// its two arguments, or with "--list FILE" every file FILE names (one path a
// line).
#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    if (std::string(argv[1]) == "--list") {
        std::ifstream list(argv[2]);
        if (!list)
            return 2;
        bool ok = true;
        for (std::string path; std::getline(list, path);)
            ok = !cv::imread(path, cv::IMREAD_COLOR).empty() && ok;
        return ok ? 0 : 1;
    }
    const cv::Mat first = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat second = cv::imread(argv[2], cv::IMREAD_COLOR);
    return first.empty() || second.empty() ? 1 : 0;
}
