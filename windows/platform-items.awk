# Reads host platform headers and prints one X(name, expression) line per published name: every
# object-like macro with a value, every enumerator, and the size and member offsets of every
# structure. windows/check-platform.sh evaluates the list against both backends.

function emit(name, expr) { printf "X(\"%s\", %s)\n", name, expr }

{ sub(/[ \t]*\/\/.*$/, "") }

# Object-like macros with a value; GUID initializers and GUID objects have no integer value.
/^#define [A-Za-z_][A-Za-z0-9_]*[ \t]+[^ \t]/ {
    value = $0; sub(/^#define [A-Za-z0-9_]+[ \t]+/, "", value)
    if (value !~ /^\{/ && $2 !~ /GUID/) emit($2, $2)
    next
}

# Enumerations, one or several lines.
/^typedef enum/ { inEnum = 1 }
inEnum {
    body = $0; sub(/^.*\{/, "", body); sub(/\}.*$/, "", body)
    count = split(body, items, ",")
    for (i = 1; i <= count; i++) {
        item = items[i]; sub(/=.*$/, "", item); gsub(/[ \t]/, "", item)
        if (item ~ /^[A-Za-z_][A-Za-z0-9_]*$/) emit(item, item)
    }
    if ($0 ~ /\}/) inEnum = 0
    next
}

# Structures: "typedef struct _T {" ... "} T, ..." and "struct _T {" ... "};".
/^(typedef )?struct _[A-Za-z0-9_]+ \{/ {
    tag = $0; sub(/^(typedef )?struct /, "", tag); sub(/ \{.*/, "", tag)
    typed = ($1 == "typedef"); depth = 1; n = 0
    next
}
depth > 0 {
    line = $0
    opens = gsub(/\{/, "{", line); closes = gsub(/\}/, "}", line)
    if (line ~ /;/ && line !~ /^[ \t]*\}/ && line !~ /[:(]/) {
        member = line; sub(/[ \t]*(\[[^]]*\])?;.*$/, "", member); sub(/^.*[ \t*]/, "", member)
        members[++n] = member
    }
    depth += opens - closes
    if (depth == 0) {
        type = "struct " tag
        if (typed) { type = $0; sub(/^[ \t]*\}[ \t]*/, "", type); sub(/[ ,;].*$/, "", type) }
        emit("sizeof(" type ")", "sizeof(" type ")")
        for (i = 1; i <= n; i++) emit(type "." members[i], "offsetof(" type ", " members[i] ")")
    }
}
