#include "robustness/tree_snapshot.h"

#include <fstream>

namespace gdtest {

namespace fs = std::filesystem;

namespace {

// Whole-file read in one piece: trees of many MiB are read at every kill.
std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace

Tree snapshotTree(const fs::path& root, bool withBytes) {
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        const fs::file_status status = fs::symlink_status(path, error);
        if (error) break;
        TreeNode node;
        if (fs::is_symlink(status)) {
            node.kind = TreeNode::Kind::Link;
            node.bytes = fs::read_symlink(path, error).string();
        } else if (fs::is_directory(status)) {
            node.kind = TreeNode::Kind::Directory;
        } else if (fs::is_regular_file(status)) {
            node.kind = TreeNode::Kind::File;
            node.executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
            if (withBytes) node.bytes = readBytes(path);
        } else {
            node.kind = TreeNode::Kind::Other;
        }
        tree[path.lexically_relative(root).generic_string()] = std::move(node);
    }
    return tree;
}

std::string treeDifferences(const Tree& expected, const Tree& actual) {
    std::string report;
    for (const auto& [path, node] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            report += "missing " + path + "\n";
        } else if (found->second.kind != node.kind) {
            report += "kind of " + path + "\n";
        } else if (found->second.bytes != node.bytes) {
            report += "content of " + path + " (" + std::to_string(found->second.bytes.size()) +
                      " bytes, expected " + std::to_string(node.bytes.size()) + ")\n";
        } else if (found->second.executable != node.executable) {
            report += "exec bit of " + path + "\n";
        }
    }
    for (const auto& [path, node] : actual) {
        if (!expected.contains(path)) report += "unexpected " + path + "\n";
    }
    return report;
}

}  // namespace gdtest
