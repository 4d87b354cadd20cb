#include "script/lua_source_loaders.h"

#include <lua.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace gd {

namespace {

constexpr char kPrecompiledMark = LUA_SIGNATURE[0];
constexpr const char* kRefusal = "precompiled chunks are not accepted";

// A chunk whose first byte marks bytecode gets this status and message in
// place of a function.
int refuse(lua_State* state) {
    lua_pushstring(state, kRefusal);
    return LUA_ERRSYNTAX;
}

// Lua 5.1's load_aux: the function, or nil and the message.
int loadResult(lua_State* state, int status) {
    if (status == 0) return 1;
    lua_pushnil(state);
    lua_insert(state, -2);
    return 2;
}

int loadString(lua_State* state) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, 1, &length);
    const char* chunkName = luaL_optstring(state, 2, text);
    if (length > 0 && text[0] == kPrecompiledMark) return loadResult(state, refuse(state));
    return loadResult(state, luaL_loadbuffer(state, text, length, chunkName));
}

// load's reader function, as in Lua 5.1, with the check on the first piece:
// only the first read decides whether Lua takes the stream for bytecode.
struct PieceReader {
    bool first = true;
    bool precompiled = false;
};

const char* readPiece(lua_State* state, void* data, std::size_t* size) {
    auto* reader = static_cast<PieceReader*>(data);
    luaL_checkstack(state, 2, "too many nested functions");
    lua_pushvalue(state, 1);
    lua_call(state, 0, 1);
    if (lua_isnil(state, -1)) {
        *size = 0;
        return nullptr;
    }
    if (!lua_isstring(state, -1)) luaL_error(state, "reader function must return a string");
    lua_replace(state, 3);  // keeps the piece alive while Lua reads it
    const char* piece = lua_tolstring(state, 3, size);
    const bool first = reader->first;
    reader->first = false;
    if (first && *size > 0 && piece[0] == kPrecompiledMark) {
        // Ends the stream: Lua then compiles an empty chunk, which is dropped.
        reader->precompiled = true;
        *size = 0;
        return nullptr;
    }
    return piece;
}

int loadFunction(lua_State* state) {
    const char* chunkName = luaL_optstring(state, 2, "=(load)");
    luaL_checktype(state, 1, LUA_TFUNCTION);
    lua_settop(state, 3);  // function, name, and a slot for the current piece
    PieceReader reader;
    const int status = lua_load(state, readPiece, &reader, chunkName);
    if (status != 0 || !reader.precompiled) return loadResult(state, status);
    lua_pop(state, 1);
    return loadResult(state, refuse(state));
}

// Lua 5.1's luaL_loadfile reader: a skipped "#" first line becomes an empty
// line, so that line numbers stay right.
struct FileReader {
    std::FILE* file = nullptr;
    bool extraLine = false;
    int readError = 0;  // errno of the read that failed, for the message
    char buffer[LUAL_BUFFERSIZE];
};

const char* readFile(lua_State* /*state*/, void* data, std::size_t* size) {
    auto* reader = static_cast<FileReader*>(data);
    if (reader->extraLine) {
        reader->extraLine = false;
        *size = 1;
        return "\n";
    }
    if (std::feof(reader->file)) return nullptr;
    *size = std::fread(reader->buffer, 1, sizeof reader->buffer, reader->file);
    if (std::ferror(reader->file) && reader->readError == 0) reader->readError = errno;
    return *size > 0 ? reader->buffer : nullptr;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Loads the open file unless it holds bytecode; lua_load runs protected, so
// nothing here unwinds past the caller's file owner. `readError` is the errno
// of a read that failed (a folder reads as EISDIR), else 0.
int loadOpenFile(lua_State* state, std::FILE* file, const char* chunkName, int& readError) {
    FileReader reader;
    reader.file = file;
    int c = std::getc(file);
    if (c == EOF && std::ferror(file)) reader.readError = errno;
    if (c == '#') {  // an executable script's "#!" line
        reader.extraLine = true;
        while ((c = std::getc(file)) != EOF && c != '\n') {
        }
        if (c == '\n') c = std::getc(file);
    }
    if (c == static_cast<unsigned char>(kPrecompiledMark)) return -1;
    std::ungetc(c, file);
    const int status = lua_load(state, readFile, &reader, chunkName);
    readError = std::ferror(file) == 0 ? 0 : reader.readError != 0 ? reader.readError : EIO;
    return status;
}

// luaL_loadfile for source text only; a null name reads standard input.
int loadSourceFile(lua_State* state, const char* fileName) {
    const int nameIndex = lua_gettop(state) + 1;
    if (fileName == nullptr) {
        lua_pushliteral(state, "=stdin");
    } else {
        lua_pushfstring(state, "@%s", fileName);
    }
    std::FILE* file = fileName == nullptr ? stdin : std::fopen(fileName, "r");
    const int openError = errno;
    if (file == nullptr) {
        lua_pushfstring(state, "cannot open %s: %s", fileName, std::strerror(openError));
        lua_remove(state, nameIndex);
        return LUA_ERRFILE;
    }
    int status = 0;
    int readError = 0;
    {
        const std::unique_ptr<std::FILE, FileCloser> owner(file == stdin ? nullptr : file);
        status = loadOpenFile(state, file, lua_tostring(state, nameIndex), readError);
    }
    if (status == -1) {
        lua_remove(state, nameIndex);
        return refuse(state);
    }
    if (readError != 0) {
        lua_settop(state, nameIndex);
        lua_pushfstring(state, "cannot read %s: %s", lua_tostring(state, nameIndex) + 1,
                        std::strerror(readError));
        lua_remove(state, nameIndex);
        return LUA_ERRFILE;
    }
    lua_remove(state, nameIndex);
    return status;
}

int loadFile(lua_State* state) {
    return loadResult(state, loadSourceFile(state, luaL_optstring(state, 1, nullptr)));
}

int doFile(lua_State* state) {
    const char* fileName = luaL_optstring(state, 1, nullptr);
    const int before = lua_gettop(state);
    if (loadSourceFile(state, fileName) != 0) lua_error(state);
    lua_call(state, 0, LUA_MULTRET);
    return lua_gettop(state) - before;
}

// Lua 5.1's pushnexttemplate: the next ';'-separated template of a path.
const char* pushNextTemplate(lua_State* state, const char* path) {
    while (*path == *LUA_PATHSEP) ++path;
    if (*path == '\0') return nullptr;
    const char* end = std::strchr(path, *LUA_PATHSEP);
    if (end == nullptr) end = path + std::strlen(path);
    lua_pushlstring(state, path, static_cast<std::size_t>(end - path));
    return end;
}

bool isReadable(const char* fileName) {
    std::FILE* file = std::fopen(fileName, "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// Lua 5.1's findfile over package.path (the package table is upvalue 1).
// Returns the file found, or null with the list of places tried pushed.
const char* findOnPath(lua_State* state, const char* name) {
    name = luaL_gsub(state, name, ".", LUA_DIRSEP);
    lua_getfield(state, lua_upvalueindex(1), "path");
    const char* path = lua_tostring(state, -1);
    if (path == nullptr) luaL_error(state, "'package.path' must be a string");
    lua_pushliteral(state, "");
    while ((path = pushNextTemplate(state, path)) != nullptr) {
        const char* fileName = luaL_gsub(state, lua_tostring(state, -1), LUA_PATH_MARK, name);
        lua_remove(state, -2);
        if (isReadable(fileName)) return fileName;
        lua_pushfstring(state, "\n\tno file '%s'", fileName);
        lua_remove(state, -2);
        lua_concat(state, 2);
    }
    return nullptr;
}

// require's searcher of Lua files.
int searchLuaFile(lua_State* state) {
    const char* name = luaL_checkstring(state, 1);
    const char* fileName = findOnPath(state, name);
    if (fileName == nullptr) return 1;
    if (loadSourceFile(state, fileName) != 0)
        luaL_error(state, "error loading module '%s' from file '%s':\n\t%s", lua_tostring(state, 1),
                   fileName, lua_tostring(state, -1));
    return 1;
}

void setGlobal(lua_State* state, const char* name, lua_CFunction function) {
    lua_pushcfunction(state, function);
    lua_setfield(state, LUA_GLOBALSINDEX, name);
}

}  // namespace

void installSourceLoaders(lua_State* state) {
    setGlobal(state, "loadstring", loadString);
    setGlobal(state, "load", loadFunction);
    setGlobal(state, "loadfile", loadFile);
    setGlobal(state, "dofile", doFile);

    lua_getfield(state, LUA_GLOBALSINDEX, LUA_LOADLIBNAME);
    lua_getfield(state, -1, "loaders");
    lua_pushvalue(state, -2);
    lua_pushcclosure(state, searchLuaFile, 1);
    lua_rawseti(state, -2, 2);
    lua_pop(state, 2);
}

}  // namespace gd
