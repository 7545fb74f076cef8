// Database statements: connection values, the statements that run SQL and
// turn rows into script values, and the Y and Z messages of selectToFront
// and selectHashToFront.
//
// A connection value (tag 3) is 8 bytes of area memory, permanent:
// header, 3, database kind (1-5), bind marker, numbered flag, JIS flag,
// index into the open-connection table, closed flag. closeDb marks it
// closed, so a closed connection is never used again.
#include "db/database.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/client.h"
#include "db/frontend.h"
#include "db/protocol.h"
#include "db/sql.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

namespace {

const char CONNECTION_ERROR[] = "データベース接続不正";
const char SQL_TEXT_ERROR[] = "SQL文不正";
const char BIND_ERROR[] = "バインド不正";
// Counted strings of the Y and Z name and column names are encoded into a
// buffer of this size.
constexpr size_t NAME_ENCODE_MAX = 1024;

struct KindEntry {
    const char* name;
    char marker;
    bool numbered;
};
const KindEntry k_kinds[6] = {
    {"", 0, false},          {"sqlserver", '?', false}, {"oracle", ':', true},
    {"db2", '?', false},     {"postgresql", '$', true}, {"sqlite", '?', false},
};

struct ConnInfo {
    uint8_t* mem;
    int index;
    char marker;
    bool numbered;
    bool jis;
};

// A connection argument: evaluated, a DB_Connection that is still open
// (`code` otherwise).
ConnInfo connection_of(ValueWord v, int code, const char* message) {
    if (word_tag(v) != TAG_DBCONN) {
        release_temp(v);
        report_error(code, "%s", message);
    }
    uint8_t* m = static_cast<uint8_t*>(area_ptr(word_payload(v)));
    if (m[1] != 3 || m[7] != 0 || m[6] >= DB_CONNECTIONS_MAX || !g_db_connections[m[6]].open)
        report_error(1255, "%s", CONNECTION_ERROR);
    return {m, m[6], static_cast<char>(m[3]), m[4] != 0, m[5] != 0};
}

ConnInfo connection_arg(Cell* node, uint32_t i) {
    return connection_of(evaluate(node_operand(node, i)), 1255, CONNECTION_ERROR);
}

// The SQL argument as a string value (held until the statement ends).
struct SqlArg {
    ValueWord v = W_UNDEFINED;
    ~SqlArg() {
        unhold(v);
        release_temp(v);
    }
};

void sql_arg(Cell* node, uint32_t i, SqlArg& out) {
    out.v = evaluate(node_operand(node, i));
    if (word_tag(out.v) != TAG_STRING) report_error(1265, "%s", SQL_TEXT_ERROR);
    retain(out.v);
}

// ---- Values of columns ----

enum TextForm { FORM_OTHER, FORM_INT, FORM_REAL };

// Whether the text reads as an integer within 32 bits, as a real, or as
// neither.
TextForm text_form(const char* t, size_t n, int32_t* iv, double* dv) {
    if (n == 0 || n > 255) return FORM_OTHER;
    const char* e = t + n;
    std::from_chars_result r = std::from_chars(t, e, *iv);
    if (r.ec == std::errc() && r.ptr == e) return FORM_INT;
    char buf[256];
    std::memcpy(buf, t, n);
    buf[n] = 0;
    char* stop = nullptr;
    errno = 0;
    double d = std::strtod(buf, &stop);
    if (stop != buf + n || !std::isfinite(d) || (buf[0] != '-' && buf[0] != '.' && (buf[0] < '0' || buf[0] > '9')))
        return FORM_OTHER;
    *dv = d;
    return FORM_REAL;
}

// The script value of a column of the current row.
ValueWord column_value(const QueryColumn& col) {
    if (col.indicator == -1) return W_UNDEFINED;
    const char* t = col.slot;
    size_t n = col.length;
    if (col.kind != COL_TEXT) {
        int32_t iv = 0;
        double dv = 0;
        TextForm f = text_form(t, n, &iv, &dv);
        bool has_point = std::memchr(t, '.', n) != nullptr;
        if (f == FORM_INT && !(col.kind == COL_REAL || (col.kind == COL_NUMBER && has_point))) return int_value(iv);
        if (f == FORM_INT) return new_float(static_cast<double>(iv));
        if (f == FORM_REAL) return new_float(dv);
    }
    return make_string(t, n);
}

// ---- Arrays and Objects ----

// A growing array (elements retained); capacity grows by half.
struct ArrayBuild {
    ValueWord word = 0;
    Cell* cell() { return dw_cell(word); }
};

ValueWord new_array(uint32_t cap) {
    void* mem = nullptr;
    if (cap < 4) cap = 4;
    uint32_t addr = area_alloc(static_cast<size_t>(cap) * 4, &mem);
    std::memset(mem, 0, static_cast<size_t>(cap) * 4);
    ValueWord out;
    Cell* c = dw_alloc(TAG_ARRAY, &out, 0);
    arr_addr(c) = addr;
    arr_cap(c) = cap;
    arr_count(c) = 0;
    return out;
}

void array_append(ValueWord arr, ValueWord v) {
    Cell* c = dw_cell(arr);
    uint32_t n = arr_count(c);
    if (n >= arr_cap(c)) {
        uint32_t cap = arr_cap(c) + arr_cap(c) / 2 + 8;
        void* mem = nullptr;
        uint32_t addr = area_alloc(static_cast<size_t>(cap) * 4, &mem);
        std::memset(mem, 0, static_cast<size_t>(cap) * 4);
        std::memcpy(mem, area_ptr(arr_addr(c)), static_cast<size_t>(n) * 4);
        c = dw_cell(arr);
        area_free(arr_addr(c));
        arr_addr(c) = addr;
        arr_cap(c) = cap;
    }
    static_cast<AreaWord*>(area_ptr(arr_addr(c)))[n] = retain(v);
    arr_count(c) = n + 1;
}

ValueWord new_object(uint32_t cap) {
    if (cap < 4) cap = 4;
    if (cap > 0xFFFF) cap = 0xFFFF;
    void* mem = nullptr;
    uint32_t addr = area_alloc(static_cast<size_t>(cap) * 8, &mem);
    std::memset(mem, 0, static_cast<size_t>(cap) * 8);
    ValueWord out;
    Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
    set_obj_cap(c, cap);
    obj_addr(c) = addr;
    return out;
}

// Sets key to v (retained): an existing entry is replaced.
void object_set(ValueWord obj, ValueWord key, ValueWord v) {
    Cell* c = dw_cell(obj);
    uint32_t n = obj_count(c);
    AreaWord* pairs = static_cast<AreaWord*>(area_ptr(obj_addr(c)));
    for (uint32_t i = 0; i < n; ++i) {
        if (pairs[2 * i] == key) {
            ValueWord old = pairs[2 * i + 1];
            pairs[2 * i + 1] = retain(v);
            value_release(old);
            return;
        }
    }
    if (n >= obj_cap(c)) {
        if (n >= 0xFFFF) report_error(1420, "メモリ不足");
        uint32_t cap = obj_cap(c) * 2 > 0xFFFF ? 0xFFFF : obj_cap(c) * 2;
        void* mem = nullptr;
        uint32_t addr = area_alloc(static_cast<size_t>(cap) * 8, &mem);
        std::memset(mem, 0, static_cast<size_t>(cap) * 8);
        std::memcpy(mem, area_ptr(obj_addr(c)), static_cast<size_t>(n) * 8);
        c = dw_cell(obj);
        area_free(obj_addr(c));
        obj_addr(c) = addr;
        set_obj_cap(c, cap);
        pairs = static_cast<AreaWord*>(mem);
    }
    pairs[2 * n] = key;
    pairs[2 * n + 1] = retain(v);
    set_obj_count(c, n + 1);
}

// Releases a result under construction when an error unwinds.
struct Result {
    ValueWord v = W_UNDEFINED;
    ~Result() {
        if (v != W_UNDEFINED) release_temp(v);
    }
    ValueWord take() {
        ValueWord r = v;
        v = W_UNDEFINED;
        return r;
    }
};

// ---- Running a query ----

// The rewritten statement and its bind texts.
struct Statement {
    PreparedSql ps;
    BindSet binds;
    uint32_t positions[SQL_PLACEHOLDERS_MAX];
};

// Rewrites and binds the SQL of a query statement: it must be a SELECT
// without position placeholders.
void prepare_query(const ConnInfo& ci, ValueWord sql, Statement& st) {
    if (!sql_is_select(string_text(sql), string_length(sql))) report_error(1350, "SQL文不正(%s)", "関数/select");
    sql_prepare(string_text(sql), string_length(sql), ci.marker, ci.numbered, st.ps);
    if (st.ps.positions) report_error(1275, "%s", BIND_ERROR);
    bind_named(st.ps, st.binds, st.positions);
}

// Whether the SQL has position placeholders (checked before anything runs).
bool sql_has_positions(const ConnInfo& ci, ValueWord sql) {
    PreparedSql ps;
    sql_prepare(string_text(sql), string_length(sql), ci.marker, ci.numbered, ps);
    return ps.positions != 0;
}

uint32_t run_query(const ConnInfo& ci, Statement& st, bool names, RowSink sink, void* ctx) {
    return db_query(ci.index, st.ps.text.data, st.ps.text.len, bind_texts(st.binds), st.binds.count, names, sink,
                    ctx);
}

// ---- Statements ----

ValueWord op_open_db(Cell* node) {
    ValueWord kind = evaluate(node_operand(node, 0));
    if (word_tag(kind) != TAG_STRING) {
        release_temp(kind);
        report_error(1460, "データベース名不正");
    }
    int slot = 0;
    {
        const char* t = string_text(kind);
        uint32_t n = string_length(kind);
        for (int k = 1; k <= 5 && slot == 0; ++k) {
            if (std::strlen(k_kinds[k].name) != n) continue;
            bool same = true;
            for (uint32_t i = 0; i < n && same; ++i) {
                char c = t[i];
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
                same = c == k_kinds[k].name[i];
            }
            if (same) slot = k;
        }
    }
    release_temp(kind);
    if (slot == 0) report_error(1460, "データベース名不正");
    SqlArg lib, text;
    lib.v = evaluate(node_operand(node, 1));
    retain(lib.v);
    if (word_tag(lib.v) != TAG_STRING)
        report_error(1170, "ダイナミック リンク ライブラリが指定されていません");
    text.v = evaluate(node_operand(node, 2));
    retain(text.v);
    if (word_tag(text.v) != TAG_STRING) report_error(3205, "OCI接続パラメータ(db)不正");
    int index = db_connect(string_text(lib.v), string_length(lib.v), string_text(text.v), string_length(text.v));
    void* mem = nullptr;
    uint32_t addr = area_alloc(8, &mem);
    uint8_t* m = static_cast<uint8_t*>(mem);
    m[0] = static_cast<uint8_t>(0xF0u | TAG_DBCONN);
    m[1] = 3;
    m[2] = static_cast<uint8_t>(slot);
    m[3] = static_cast<uint8_t>(k_kinds[slot].marker);
    m[4] = k_kinds[slot].numbered ? 1 : 0;
    m[5] = g_db_connections[index].jis ? 1 : 0;
    m[6] = static_cast<uint8_t>(index);
    m[7] = 0;
    return make_word(TAG_DBCONN, addr);
}

ValueWord op_close_db(Cell* node) {
    ConnInfo ci = connection_of(evaluate(node_operand(node, 0)), 1365, "データベース切断の引数不正");
    bool commit = false;
    if (node_operand_count(node) == 2) {
        ValueWord how = evaluate(node_operand(node, 1));
        const char* msg = "データベース切断時の操作(commit/rollback)不正";
        if (word_tag(how) != TAG_STRING) {
            release_temp(how);
            report_error(1370, "%s", msg);
        }
        const char* t = string_text(how);
        uint32_t n = string_length(how);
        auto same = [&](const char* w) {
            if (std::strlen(w) != n) return false;
            for (uint32_t i = 0; i < n; ++i) {
                char c = t[i];
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
                if (c != w[i]) return false;
            }
            return true;
        };
        bool is_commit = same("commit");
        bool is_rollback = same("rollback");
        release_temp(how);
        if (!is_commit && !is_rollback) report_error(1375, "%s", msg);
        commit = is_commit;
    }
    // Marked closed first: whatever the client answers, the handles are gone.
    ci.mem[7] = 1;
    db_disconnect(ci.index, commit);
    return W_UNDEFINED;
}

ValueWord op_execute(Cell* node) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    if (sql_is_select(string_text(sql.v), string_length(sql.v))) report_error(1350, "SQL文不正(%s)", "関数/select");
    Statement st;
    sql_prepare(string_text(sql.v), string_length(sql.v), ci.marker, ci.numbered, st.ps);
    if (node_operand_count(node) < 3) {
        if (st.ps.positions) report_error(1275, "%s", BIND_ERROR);
        bind_named(st.ps, st.binds, st.positions);
        db_run(ci.index, st.ps.text.data, st.ps.text.len, bind_texts(st.binds), st.binds.count);
        return int_value(0);
    }
    Result rows;
    rows.v = evaluate(node_operand(node, 2));
    retain(rows.v);
    struct Unhold {
        Result& r;
        ~Unhold() { unhold(r.v); }
    } unhold_rows{rows};
    if (word_tag(rows.v) != TAG_ARRAY) report_error(1270, "SQL関数の最終引数不正");
    Cell* rc = dw_cell(rows.v);
    uint32_t n = arr_count(rc);
    const AreaWord* elems = static_cast<const AreaWord*>(area_ptr(arr_addr(rc)));
    uint32_t arrays = 0;
    for (uint32_t i = 0; i < n; ++i) arrays += word_tag(elems[i]) == TAG_ARRAY;
    if (arrays != 0 && arrays != n) report_error(1270, "SQL関数の最終引数不正");
    // An empty bind array runs nothing.
    if (n == 0) return int_value(0);
    bind_named(st.ps, st.binds, st.positions);
    uint32_t nfixed = st.binds.count;
    uint32_t nrows = arrays ? n : 1;
    uint32_t row_positions[SQL_PLACEHOLDERS_MAX];
    uint32_t per_row = 0;
    for (uint32_t i = 0; i < st.ps.count; ++i) {
        if (st.ps.items[i].kind == PH_POSITION) row_positions[per_row++] = i + 1;
    }
    // Bind texts of all rows: the fixed ones first, then row after row.
    BindSet* rowset = new BindSet;
    struct FreeSet {
        BindSet* s;
        ~FreeSet() { delete s; }
    } free_rowset{rowset};
    // Row texts are converted in chunks that fit one bind set.
    uint32_t chunk = per_row ? (SQL_PLACEHOLDERS_MAX * 2) / per_row : nrows;
    if (chunk == 0) chunk = 1;
    const BindText* fixed = bind_texts(st.binds);
    for (uint32_t first = 0; first < nrows; first += chunk) {
        uint32_t last = first + chunk < nrows ? first + chunk : nrows;
        rowset->count = 0;
        rowset->arena.len = 0;
        for (uint32_t r = first; r < last; ++r) {
            const AreaWord* row = elems;
            uint32_t row_len = n;
            if (arrays) {
                rc = dw_cell(rows.v);
                elems = static_cast<const AreaWord*>(area_ptr(arr_addr(rc)));
                Cell* inner = dw_cell(elems[r]);
                row = static_cast<const AreaWord*>(area_ptr(arr_addr(inner)));
                row_len = arr_count(inner);
            }
            for (uint32_t k = 0, i = 0; i < st.ps.count; ++i) {
                if (st.ps.items[i].kind != PH_POSITION) continue;
                uint32_t pos = st.ps.items[i].value;
                if (pos > row_len) report_error(1250, "バインド番号不正");
                bind_add_value(*rowset, row[pos - 1]);
                ++k;
            }
        }
        BindRowsPlan plan{fixed, st.positions, nfixed, bind_texts(*rowset), row_positions, per_row, last - first};
        db_run_rows(ci.index, st.ps.text.data, st.ps.text.len, plan);
    }
    return int_value(0);
}

// select: one array per row.
struct SelectCtx {
    ValueWord result;
};

void select_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    if (row == DB_DESCRIBED) return;
    SelectCtx* s = static_cast<SelectCtx*>(ctx);
    ValueWord values = new_array(static_cast<uint32_t>(cols.count));
    array_append(s->result, values);
    for (int i = 0; i < cols.count; ++i) array_append(values, column_value(cols.columns[i]));
}

void select_hash_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    if (row == DB_DESCRIBED) return;
    SelectCtx* s = static_cast<SelectCtx*>(ctx);
    ValueWord entry = new_object(static_cast<uint32_t>(cols.count) + 2);
    array_append(s->result, entry);
    for (int i = 0; i < cols.count; ++i) {
        const QueryColumn& c = cols.columns[i];
        ValueWord key = name_word(intern(c.name ? c.name : "", c.name_len));
        ValueWord v = column_value(c);
        object_set(entry, key, v);
    }
}

ValueWord run_select(Cell* node, bool hash) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    Statement st;
    prepare_query(ci, sql.v, st);
    Result res;
    res.v = new_array(16);
    SelectCtx ctx{res.v};
    run_query(ci, st, hash, hash ? select_hash_row : select_row, &ctx);
    return res.take();
}

ValueWord op_select(Cell* node) { return run_select(node, false); }
ValueWord op_select_hash(Cell* node) { return run_select(node, true); }

void count_row(void* ctx, const QueryColumns&, uint32_t row) {
    if (row != DB_DESCRIBED) ++*static_cast<uint32_t*>(ctx);
}

ValueWord op_select_exists(Cell* node) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    Statement st;
    prepare_query(ci, sql.v, st);
    uint32_t rows = 0;
    run_query(ci, st, false, count_row, &rows);
    return rows ? W_TRUE : W_FALSE;
}

// selectInto: the first row's values, kept until they are assigned.
struct IntoCtx {
    uint32_t targets;
    ValueWord values[DB_COLUMNS_MAX];
    int count = 0;
    ~IntoCtx() {
        for (int i = 0; i < count; ++i) value_release(values[i]);
    }
};

void into_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    IntoCtx* s = static_cast<IntoCtx*>(ctx);
    if (row == DB_DESCRIBED) return;
    if (row > 0) report_error(3350, "レコード数不正");
    if (static_cast<uint32_t>(cols.count) != s->targets) report_error(3345, "引数とカラム数が不一致");
    for (int i = 0; i < cols.count; ++i) {
        s->values[i] = retain(column_value(cols.columns[i]));
        s->count = i + 1;
    }
}

bool assignable(ValueWord w) {
    if (word_tag(w) == TAG_NAME) return w > W_NAN;
    if (word_tag(w) != TAG_NODE) return false;
    uint32_t op = dw_cell(w)->b3;
    return op == OP_INDEX || op == OP_MEMBER;
}

ValueWord op_select_into(Cell* node) {
    uint32_t n = node_operand_count(node);
    for (uint32_t i = 2; i < n; ++i) {
        if (!assignable(node_operand(node, i))) report_error(1280, "関数selIntoの値設定先不正");
    }
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    Statement st;
    prepare_query(ci, sql.v, st);
    IntoCtx ctx;
    ctx.targets = n - 2;
    uint32_t rows = run_query(ci, st, false, into_row, &ctx);
    for (int i = 0; i < ctx.count; ++i) {
        ValueWord target = node_operand(node, static_cast<uint32_t>(i) + 2);
        ValueWord t;
        if (word_tag(target) == TAG_NAME) {
            t = lookup_name(target);
        } else {
            clear_location();
            g_create_mode = true;
            t = evaluate(target);
            g_create_mode = false;
        }
        Location loc = g_loc;
        if (t != ctx.values[i]) release_temp(t);
        if (loc.is_const) report_error(2320, "オペレーション不正");
        if (loc.kind == LOC_NONE) continue;
        store_location(loc, ctx.values[i]);
    }
    return int_value(static_cast<int32_t>(rows));
}

// record_hash: first column's text -> second column's value.
void record_hash_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    if (row == DB_DESCRIBED) return;
    SelectCtx* s = static_cast<SelectCtx*>(ctx);
    if (cols.count < 1 || cols.columns[0].indicator == -1) return;
    const QueryColumn& k = cols.columns[0];
    ValueWord key = name_word(intern(k.slot, k.length));
    ValueWord v = cols.count > 1 ? column_value(cols.columns[1]) : W_UNDEFINED;
    object_set(s->result, key, v);
}

ValueWord op_record_hash(Cell* node) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    // The third argument is evaluated for its effects and errors only.
    if (node_operand_count(node) == 3) release_temp(evaluate(node_operand(node, 2)));
    Statement st;
    prepare_query(ci, sql.v, st);
    Result res;
    res.v = new_object(16);
    SelectCtx ctx{res.v};
    run_query(ci, st, false, record_hash_row, &ctx);
    return res.take();
}

// ---- selectToFront and selectHashToFront ----

void put_marked(TextBuf& out, char base, const char* t, size_t n) {
    char m = static_cast<char>(base + n);
    textbuf_append(out, &m, 1);
    textbuf_append(out, t, n);
}

// A value of a Y or Z row, in the form its text can take.
void put_row_value(TextBuf& out, const QueryColumn& col) {
    if (col.indicator == -1) {
        textbuf_append(out, "10", 2);
        return;
    }
    const char* t = col.slot;
    size_t n = col.length;
    if (col.kind != COL_TEXT) {
        int32_t iv;
        double dv;
        TextForm f = text_form(t, n, &iv, &dv);
        bool has_point = std::memchr(t, '.', n) != nullptr;
        bool as_real = f == FORM_REAL || col.kind == COL_REAL || (col.kind == COL_NUMBER && has_point);
        // The markers announce 0 to 12 characters for integers ("N" to
        // "Z") and 0 to 14 for reals ("a" to "o").
        if (f == FORM_INT && !as_real && n <= 12) {
            put_marked(out, 'N', t, n);
            return;
        }
        if (f != FORM_OTHER && n <= 14) {
            put_marked(out, 'a', t, n);
            return;
        }
    }
    put_counted_string(out, t, n);
}

struct FrontCtx {
    TextBuf values;
    TextBuf names;
    int columns = 0;
    bool hash;
};

void check_encoded_size(const char* t, size_t n) {
    TextBuf probe;
    put_counted_string(probe, t, n);
    if (probe.len > NAME_ENCODE_MAX) report_error(1585, "Encodeバッファーの容量不足");
}

// Column count and names, once the columns are described.
void front_describe(FrontCtx& s, const QueryColumns& cols) {
    s.columns = cols.count;
    if (s.hash) {
        for (int i = 0; i < cols.count; ++i) {
            const QueryColumn& c = cols.columns[i];
            check_encoded_size(c.name ? c.name : "", c.name_len);
            put_counted_string(s.names, c.name ? c.name : "", c.name_len);
        }
    }
}

void front_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    FrontCtx* s = static_cast<FrontCtx*>(ctx);
    if (row == DB_DESCRIBED) {
        front_describe(*s, cols);
        return;
    }
    for (int i = 0; i < cols.count; ++i) put_row_value(s->values, cols.columns[i]);
}

ValueWord run_to_front(Cell* node, bool hash) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg name;
    name.v = evaluate(node_operand(node, 1));
    retain(name.v);
    if (word_tag(name.v) != TAG_STRING) report_error(1260, "JavaScriptの変数名不正");
    check_encoded_size(string_text(name.v), string_length(name.v));
    SqlArg sql;
    sql_arg(node, 2, sql);
    Statement st;
    prepare_query(ci, sql.v, st);
    FrontCtx ctx;
    ctx.hash = hash;
    uint32_t rows = run_query(ci, st, hash, front_row, &ctx);
    TextBuf msg;
    textbuf_append(msg, hash ? "Y" : "Z", 1);
    put_counted_number(msg, ctx.columns);
    put_counted_number(msg, rows);
    put_counted_string(msg, string_text(name.v), string_length(name.v));
    if (ctx.names.len) textbuf_append(msg, ctx.names.data, ctx.names.len);
    if (ctx.values.len) textbuf_append(msg, ctx.values.data, ctx.values.len);
    ++g_run.count_yz;
    frontend_write(msg);
    out_flush();
    return int_value(static_cast<int32_t>(rows));
}

ValueWord op_select_to_front(Cell* node) { return run_to_front(node, false); }
ValueWord op_select_hash_to_front(Cell* node) { return run_to_front(node, true); }


// ---- record_map ----

// The row array of the running record_map code lives in this global while
// the code runs (the previous value comes back afterwards, so record_map
// calls may nest).
const char RECORD_ROW[] = "__record_map_row";

struct MapCtx {
    StatementList* list;
    uint32_t name;
    uint32_t largest;
};

void map_row(void* ctx, const QueryColumns& cols, uint32_t row) {
    if (row == DB_DESCRIBED) return;
    MapCtx* m = static_cast<MapCtx*>(ctx);
    if (static_cast<uint32_t>(cols.count) < m->largest)
        report_error(1285, "record_map関数でStatement中ののColumn Index不正");
    Result values;
    values.v = new_array(static_cast<uint32_t>(cols.count));
    for (int i = 0; i < cols.count; ++i) array_append(values.v, column_value(cols.columns[i]));
    bind_global(m->name, values.v);
    for (uint32_t i = 0; i < m->list->count; ++i) release_temp(evaluate(m->list->items[i]));
}

// The code text with %n turned into references to the row array.
void rewrite_map_code(const char* t, size_t n, TextBuf& out, uint32_t* largest) {
    char quote = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = t[i];
        if (quote) {
            if (c == '\\' && i + 1 < n) {
                textbuf_append(out, t + i, 2);
                ++i;
                continue;
            }
            if (c == quote) quote = 0;
            textbuf_append(out, &c, 1);
            continue;
        }
        if (c == '\'' || c == '"' || c == '`') quote = c;
        if (c != '%') {
            textbuf_append(out, &c, 1);
            continue;
        }
        size_t j = i + 1;
        uint32_t k = 0;
        while (j < n && t[j] >= '0' && t[j] <= '9') {
            if (k < 100000) k = k * 10 + static_cast<uint32_t>(t[j] - '0');
            ++j;
        }
        if (j == i + 1) report_error(1290, "DB拡張関数の文字列不正");
        textbuf_append(out, "(", 1);
        textbuf_append(out, RECORD_ROW);
        if (k > 0) {
            char num[16];
            char* e = std::to_chars(num, num + sizeof num, k - 1).ptr;
            textbuf_append(out, "[", 1);
            textbuf_append(out, num, static_cast<size_t>(e - num));
            textbuf_append(out, "]", 1);
        }
        textbuf_append(out, ")", 1);
        if (k > *largest) *largest = k;
        i = j - 1;
    }
}

ValueWord op_record_map(Cell* node) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    SqlArg code;
    code.v = evaluate(node_operand(node, 2));
    retain(code.v);
    if (word_tag(code.v) != TAG_STRING) report_error(1295, "record_map関数の引数不正");
    TextBuf text;
    uint32_t largest = 0;
    rewrite_map_code(string_text(code.v), string_length(code.v), text, &largest);
    textbuf_append(text, "", 0);
    struct Statements {
        StatementList list = {nullptr, 0, 0, false};
        ~Statements() {
            for (uint32_t i = 0; i < list.count; ++i) value_release(list.items[i]);
            statement_list_free(&list);
        }
    } st;
    {
        uint32_t module = g_run.current_module;
        uint32_t line = g_run.current_line;
        uint32_t column = g_run.current_column;
        uint32_t parse_module = g_parse.module;
        LexState lex = g_lex;
        g_parse.module = module;
        lex_begin(text.data);
        parse_statement_list(text.data, &st.list, true, false);
        g_parse.module = parse_module;
        g_lex = lex;
        g_run.current_module = module;
        g_run.current_line = line;
        g_run.current_column = column;
    }
    if (st.list.count == 0) report_error(1300, "record_map関数の引数不正");
    Statement q;
    prepare_query(ci, sql.v, q);
    uint32_t name = intern(RECORD_ROW, sizeof RECORD_ROW - 1);
    ValueWord saved = retain(global_value(name));
    struct Restore {
        uint32_t name;
        ValueWord saved;
        ~Restore() {
            bind_global(name, saved);
            value_release(saved);
        }
    } restore{name, saved};
    MapCtx ctx{&st.list, name, largest};
    run_query(ci, q, false, map_row, &ctx);
    return W_UNDEFINED;
}

// ---- sql_aggregate ----

enum AggOp : uint8_t { AGG_VALUE, AGG_SUM, AGG_MAX, AGG_MIN, AGG_AVERAGE, AGG_COUNT };
const char* const k_agg_keys[] = {"value", "sum", "max", "min", "average", "count"};

// A column value of a row: NULL, an integer, a real or a text.
struct AggValue {
    uint8_t kind;  // 0 NULL, 1 integer, 2 real, 3 text
    int64_t i;
    double d;
    std::string text;
};

// A slot: an integer or a real, with the count of values for averages.
struct Acc {
    bool real = false;
    int64_t i = 0;
    double d = 0;
    int64_t count = 0;
    bool seen = false;
    AggValue last{1, 0, 0, {}};
};

struct AggPlan {
    std::vector<std::pair<uint8_t, uint32_t>> slots;  // op, column (0 for count)
    std::vector<uint32_t> keys, groups;
    uint32_t total = 0;
    bool has_total = false, has_total_count = false, has_group = false;
    bool fixed_labels = false;
    std::vector<std::string> order;  // labels of the group order
};

struct AggEntry {
    bool open = false;
    std::vector<AggValue> key;
    std::vector<std::string> labels;
    std::vector<std::vector<Acc>> sets;
    Acc total;
    int64_t rows = 0;
};

struct AggCtx {
    AggPlan* plan;
    AggEntry entry;
    ValueWord result;
    int columns = 0;
};

[[noreturn]] void agg_column_error() { report_error(6375, "sql_aggregate関数Column Indexが正しくありません"); }

void agg_columns(ValueWord v, std::vector<uint32_t>& out) {
    auto one = [&](ValueWord w) {
        if (word_tag(w) != TAG_INT || cell_int(dw_cell(w)) < 1) agg_column_error();
        out.push_back(static_cast<uint32_t>(cell_int(dw_cell(w))));
    };
    if (word_tag(v) == TAG_ARRAY) {
        Cell* c = dw_cell(v);
        uint32_t n = arr_count(c);
        if (n >= 512) report_error(6375, "sql_aggregate関数のKeyカラム数が多すぎます");
        const AreaWord* e = static_cast<const AreaWord*>(area_ptr(arr_addr(c)));
        for (uint32_t i = 0; i < n; ++i) one(e[i]);
        return;
    }
    one(v);
}

// Label text of a group value: integers "%d", reals without trailing
// zeros, texts as they are, name constants by name (NULL as "null").
void label_piece(std::string& out, ValueWord v) {
    char buf[400];
    switch (word_tag(v)) {
    case TAG_NAME:
        if (v > W_NAN) report_error(6420, "sql_aggregate関数のgroup配列不正");
        out.append(name_text(word_payload(v)), name_length(word_payload(v)));
        return;
    case TAG_INT: out.append(buf, format_int(buf, cell_int(dw_cell(v)))); return;
    case TAG_FLOAT: out.append(buf, format_float(buf, cell_float(dw_cell(v)))); return;
    case TAG_STRING: out.append(string_text(v), string_length(v)); return;
    default: report_error(6420, "sql_aggregate関数のgroup配列不正");
    }
}

void label_value(std::string& out, const AggValue& v) {
    char buf[400];
    if (v.kind == 0) out += "null";
    else if (v.kind == 1) out.append(buf, format_int(buf, static_cast<int32_t>(v.i)));
    else if (v.kind == 2) out.append(buf, format_float(buf, v.d));
    else out += v.text;
}

bool fits32(int64_t i) { return i >= INT32_MIN && i <= INT32_MAX; }

// A number from a value for sum, average, max, min and total.
bool agg_number(const AggValue& v, bool* is_int, int64_t* i, double* d) {
    if (v.kind == 1) {
        *is_int = true;
        *i = v.i;
        return true;
    }
    if (v.kind == 2) {
        *is_int = false;
        *d = v.d;
        return true;
    }
    if (v.text.empty() || v.text.size() > 255) return false;
    char* stop = nullptr;
    double x = std::strtod(v.text.c_str(), &stop);
    if (stop != v.text.c_str() + v.text.size() || !std::isfinite(x)) return false;
    double r = std::round(x);
    if (std::fabs(x - r) < 0.000001 && std::fabs(r) <= 2147483647.0) {
        *is_int = true;
        *i = static_cast<int64_t>(r);
    } else {
        *is_int = false;
        *d = x;
    }
    return true;
}

void acc_add(Acc& a, bool is_int, int64_t i, double d) {
    if (is_int && !a.real) {
        a.i += i;
        return;
    }
    if (!a.real) {
        a.real = true;
        a.d = static_cast<double>(a.i);
    }
    a.d += is_int ? static_cast<double>(i) : d;
}

ValueWord acc_value(const Acc& a) {
    if (a.real) return new_float(a.d);
    if (!fits32(a.i)) return new_float(static_cast<double>(a.i));
    return int_value(static_cast<int32_t>(a.i));
}

ValueWord agg_value_word(const AggValue& v) {
    if (v.kind == 0) return W_UNDEFINED;
    if (v.kind == 1) return int_value(static_cast<int32_t>(v.i));
    if (v.kind == 2) return new_float(v.d);
    return make_string(v.text.data(), v.text.size());
}

ValueWord slot_result(uint8_t op, const Acc& a) {
    switch (op) {
    case AGG_VALUE: return agg_value_word(a.last);
    case AGG_COUNT: return int_value(static_cast<int32_t>(a.count));
    case AGG_AVERAGE: {
        double sum = a.real ? a.d : static_cast<double>(a.i);
        return new_float(sum / static_cast<double>(a.count ? a.count : 1));
    }
    case AGG_MAX:
        if (!a.seen) return int_value(-2147483632);
        return acc_value(a);
    case AGG_MIN:
        if (!a.seen) return int_value(2147483632);
        return acc_value(a);
    default: return acc_value(a);
    }
}

std::vector<Acc> fresh_slots(const AggPlan& s) { return std::vector<Acc>(s.slots.size()); }

void agg_close(AggCtx& ctx) {
    AggEntry& e = ctx.entry;
    if (!e.open) return;
    const AggPlan& s = *ctx.plan;
    std::string key_text;
    char buf[64];
    for (const AggValue& v : e.key) {
        if (v.kind == 1) key_text.append(buf, format_int(buf, static_cast<int32_t>(v.i)));
        else if (v.kind == 2) key_text.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%g", v.d)));
        else if (v.kind == 3) key_text += v.text;
    }
    std::string group_text;
    for (const std::string& l : e.labels) group_text += l;
    Result entry;
    entry.v = new_array(3);
    array_append(entry.v, make_string(key_text.data(), key_text.size()));
    array_append(entry.v, make_string(group_text.data(), group_text.size()));
    Result values;
    values.v = new_array(8);
    if (!s.has_group) {
        for (size_t k = 0; k < s.slots.size(); ++k) array_append(values.v, slot_result(s.slots[k].first, e.sets[0][k]));
    } else {
        for (size_t g = 0; g < e.sets.size(); ++g) {
            if (s.slots.size() == 1) {
                array_append(values.v, slot_result(s.slots[0].first, e.sets[g][0]));
                continue;
            }
            ValueWord inner = new_array(static_cast<uint32_t>(s.slots.size()));
            array_append(values.v, inner);
            for (size_t k = 0; k < s.slots.size(); ++k) array_append(inner, slot_result(s.slots[k].first, e.sets[g][k]));
        }
    }
    if (s.has_total_count) array_append(values.v, int_value(static_cast<int32_t>(e.rows)));
    if (s.has_total) array_append(values.v, acc_value(e.total));
    Cell* vc = dw_cell(values.v);
    if (arr_count(vc) == 1) array_append(entry.v, static_cast<const AreaWord*>(area_ptr(arr_addr(vc)))[0]);
    else array_append(entry.v, values.v);
    array_append(ctx.result, entry.v);
    e = AggEntry();
}

void agg_open(AggCtx& ctx, std::vector<AggValue>&& key) {
    AggEntry& e = ctx.entry;
    e.open = true;
    e.key = std::move(key);
    const AggPlan& s = *ctx.plan;
    if (s.fixed_labels) {
        e.labels = s.order;
        e.sets.assign(s.order.size(), fresh_slots(s));
    } else if (!s.has_group) {
        e.sets.assign(1, fresh_slots(s));
    }
}

bool same_value(const AggValue& a, const AggValue& b) {
    if (a.kind != b.kind || a.kind == 0) return false;
    if (a.kind == 1) return a.i == b.i;
    if (a.kind == 2) return a.d == b.d;
    return a.text == b.text;
}

AggValue agg_column(const QueryColumn& col) {
    AggValue v{0, 0, 0, {}};
    if (col.indicator == -1) return v;
    const char* t = col.slot;
    size_t n = col.length;
    if (col.kind != COL_TEXT) {
        int32_t iv = 0;
        double dv = 0;
        TextForm f = text_form(t, n, &iv, &dv);
        if (f == FORM_INT) {
            v.kind = 1;
            v.i = iv;
            return v;
        }
        if (f == FORM_REAL) {
            double r = std::round(dv);
            if (std::fabs(dv - r) < 0.0000001 && std::fabs(r) <= 2147483647.0) {
                v.kind = 1;
                v.i = static_cast<int64_t>(r);
            } else {
                v.kind = 2;
                v.d = dv;
            }
            return v;
        }
    }
    v.kind = 3;
    v.text.assign(t, n);
    return v;
}

void agg_row(void* c, const QueryColumns& cols, uint32_t row) {
    AggCtx& ctx = *static_cast<AggCtx*>(c);
    const AggPlan& s = *ctx.plan;
    if (row == DB_DESCRIBED) {
        uint32_t n = static_cast<uint32_t>(cols.count);
        for (auto& sl : s.slots) if (sl.second > n) agg_column_error();
        for (uint32_t k : s.keys) if (k > n) agg_column_error();
        for (uint32_t g : s.groups) if (g > n) agg_column_error();
        if (s.has_total && s.total > n) agg_column_error();
        return;
    }
    auto col = [&](uint32_t k) { return agg_column(cols.columns[k - 1]); };
    if (!s.keys.empty()) {
        std::vector<AggValue> key;
        bool differs = !ctx.entry.open;
        for (size_t i = 0; i < s.keys.size(); ++i) {
            key.push_back(col(s.keys[i]));
            if (!differs && !same_value(key.back(), ctx.entry.key[i])) differs = true;
        }
        if (differs) {
            agg_close(ctx);
            agg_open(ctx, std::move(key));
        }
    } else if (!ctx.entry.open) {
        agg_open(ctx, {});
    }
    AggEntry& e = ctx.entry;
    if (s.has_total) {
        AggValue v = col(s.total);
        if (v.kind != 0) {
            bool is_int;
            int64_t i;
            double d;
            if (!agg_number(v, &is_int, &i, &d)) report_error(6355, "aggregate関数のデータタイプ不正");
            acc_add(e.total, is_int, i, d);
        }
    }
    ++e.rows;
    size_t set = 0;
    if (s.has_group) {
        std::string label = "(";
        for (size_t i = 0; i < s.groups.size(); ++i) {
            if (i) label += ":";
            label_value(label, col(s.groups[i]));
        }
        label += ")";
        size_t found = e.labels.size();
        for (size_t i = 0; i < e.labels.size(); ++i) {
            if (e.labels[i] == label) {
                found = i;
                break;
            }
        }
        if (found == e.labels.size()) {
            if (s.fixed_labels) return;
            e.labels.push_back(label);
            e.sets.push_back(fresh_slots(s));
        }
        set = found;
    }
    std::vector<Acc>& slots = e.sets[set];
    for (size_t k = 0; k < s.slots.size(); ++k) {
        uint8_t op = s.slots[k].first;
        Acc& a = slots[k];
        if (op == AGG_COUNT) {
            ++a.count;
            continue;
        }
        AggValue v = col(s.slots[k].second);
        if (op == AGG_VALUE) {
            a.last = v;
            continue;
        }
        if (v.kind == 0) continue;
        bool is_int;
        int64_t i;
        double d;
        if (!agg_number(v, &is_int, &i, &d)) {
            if (op == AGG_MAX) report_error(6360, "sql_aggregate関数のデータタイプ不正");
            if (op == AGG_MIN) report_error(6365, "aggregate関数のデータタイプ不正");
            report_error(6355, "aggregate関数のデータタイプ不正");
        }
        if (op == AGG_SUM) {
            acc_add(a, is_int, i, d);
        } else if (op == AGG_AVERAGE) {
            acc_add(a, is_int, i, d);
            ++a.count;
        } else {
            double x = is_int ? static_cast<double>(i) : d;
            double cur = a.real ? a.d : static_cast<double>(a.i);
            bool take = !a.seen || (op == AGG_MAX ? x > cur : x < cur);
            if (take) {
                a.real = !is_int;
                a.i = is_int ? i : 0;
                a.d = is_int ? 0 : d;
            }
            a.seen = true;
        }
    }
}

ValueWord op_sql_aggregate(Cell* node) {
    ConnInfo ci = connection_arg(node, 0);
    SqlArg sql;
    sql_arg(node, 1, sql);
    SqlArg specv;
    specv.v = evaluate(node_operand(node, 2));
    retain(specv.v);
    if (word_tag(specv.v) != TAG_OBJECT) report_error(6401, "sql_aggregate関数の引数不正(NOT HASH)");
    AggPlan plan;
    {
        Cell* c = dw_cell(specv.v);
        uint32_t n = obj_count(c);
        for (uint32_t i = 0; i < n; ++i) {
            const AreaWord* pairs = static_cast<const AreaWord*>(area_ptr(obj_addr(dw_cell(specv.v))));
            ValueWord key = pairs[2 * i];
            ValueWord v = pairs[2 * i + 1];
            if (word_tag(key) != TAG_NAME) report_error(6390, "sql_aggregate関数のcolumn不正(KEY STRING)");
            const char* k = name_text(word_payload(key));
            std::string name(k, name_length(word_payload(key)));
            int op = -1;
            for (int j = 0; j < 6; ++j) if (name == k_agg_keys[j]) op = j;
            if (op == AGG_COUNT) {
                plan.slots.push_back({AGG_COUNT, 0});
            } else if (op >= 0) {
                std::vector<uint32_t> cols;
                agg_columns(v, cols);
                for (uint32_t col : cols) plan.slots.push_back({static_cast<uint8_t>(op), col});
            } else if (name == "key") {
                agg_columns(v, plan.keys);
            } else if (name == "group") {
                agg_columns(v, plan.groups);
                plan.has_group = true;
            } else if (name == "total") {
                if (word_tag(v) != TAG_INT || cell_int(dw_cell(v)) < 1) agg_column_error();
                plan.total = static_cast<uint32_t>(cell_int(dw_cell(v)));
                plan.has_total = true;
            } else if (name == "total_count") {
                plan.has_total_count = true;
            } else {
                report_error(6390, "sql_aggregate関数のcolumn不正(KEY STRING)");
            }
        }
    }
    if (plan.slots.empty() && !plan.has_total && !plan.has_total_count)
        report_error(6435, "sql_aggregate集合関数の引数不正");
    SqlArg orderv;
    if (node_operand_count(node) == 4) {
        orderv.v = evaluate(node_operand(node, 3));
        retain(orderv.v);
        if (word_tag(orderv.v) != TAG_ARRAY) report_error(6405, "sql_aggregate関数のgroup並び順不正(NOT ARRAY)");
        if (!plan.has_group) report_error(6410, "sql_aggregate関数のgroup並び順不正(NO GROUP COLUMN)");
        Cell* c = dw_cell(orderv.v);
        uint32_t n = arr_count(c);
        const AreaWord* e = static_cast<const AreaWord*>(area_ptr(arr_addr(c)));
        for (uint32_t i = 0; i < n; ++i) {
            std::string label = "(";
            if (word_tag(e[i]) == TAG_ARRAY) {
                Cell* ic = dw_cell(e[i]);
                const AreaWord* ie = static_cast<const AreaWord*>(area_ptr(arr_addr(ic)));
                for (uint32_t j = 0; j < arr_count(ic); ++j) {
                    if (j) label += ":";
                    label_piece(label, ie[j]);
                }
            } else {
                label_piece(label, e[i]);
            }
            label += ")";
            plan.order.push_back(label);
        }
        plan.fixed_labels = true;
    }
    if (sql_has_positions(ci, sql.v)) report_error(6400, "sql_aggregate関数のSQL不正(BIND)");
    Statement st;
    prepare_query(ci, sql.v, st);
    Result res;
    res.v = new_array(8);
    AggCtx ctx;
    ctx.plan = &plan;
    ctx.result = res.v;
    run_query(ci, st, false, agg_row, &ctx);
    agg_close(ctx);
    return res.take();
}

}  // namespace

void close_all_connections() { db_close_all(); }

void register_database_routines() {
    g_op_table[OP_OPEN_DB] = op_open_db;
    g_op_table[OP_CLOSE_DB] = op_close_db;
    g_op_table[OP_EXECUTE] = op_execute;
    g_op_table[OP_SELECT] = op_select;
    g_op_table[OP_SELECT_HASH] = op_select_hash;
    g_op_table[OP_SELECT_EXISTS] = op_select_exists;
    g_op_table[OP_SELECT_INTO] = op_select_into;
    g_op_table[OP_RECORD_HASH] = op_record_hash;
    g_op_table[OP_SELECT_TO_FRONT] = op_select_to_front;
    g_op_table[OP_SELECT_HASH_TO_FRONT] = op_select_hash_to_front;
    g_op_table[OP_RECORD_MAP] = op_record_map;
    g_op_table[OP_SQL_AGGREGATE] = op_sql_aggregate;
}

}  // namespace velt
