// The floor the programs are measured against: a program that only decodes
// its two image files, one after the other, with OpenCV's reader.
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const cv::Mat first = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat second = cv::imread(argv[2], cv::IMREAD_COLOR);
    return first.empty() || second.empty() ? 1 : 0;
}
