#!/usr/bin/env python3
"""Compares what the shared library exports with what its public headers declare.

    exported_symbols.py LIBRARY INCLUDE_DIR...

Every exported symbol must name a public declaration of the headers (a function or a
member of namespace lumvex, a function of the C interface or one of the extern "C" version
symbols), and every public function that the headers declare without a body must be
exported, or hosts fail to link. The declarations come from clang's syntax tree of
<LumvexSdk/LumvexSdk.h> and <LumvexSdk/lumvex.h>, so access specifiers, inline bodies and
deleted members count as the compiler sees them. The C interface's names are listed.
Exit status 0 when both hold, 1 when not.
"""
import json
import re
import subprocess
import sys


def syntax_trees(includes, name_filter):
    args = ["clang++", "-std=c++17", "-x", "c++", "-fsyntax-only", "-Xclang", "-ast-dump=json",
            "-Xclang", "-ast-dump-filter=" + name_filter]
    for include in includes:
        args += ["-I", include]
    args.append("-")
    text = subprocess.run(args, input="#include <LumvexSdk/LumvexSdk.h>\n#include <LumvexSdk/lumvex.h>\n",
                          capture_output=True,
                          text=True, check=True).stdout
    # With a filter, clang prints one JSON document per matching declaration.
    decoder, at = json.JSONDecoder(), 0
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at >= len(text):
            return
        tree, at = decoder.raw_decode(text, at)
        yield tree


FUNCTIONS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl"}


def collect(node, scope, access, public, required, hidden):
    kind = node.get("kind")
    if node.get("isImplicit"):
        return
    if kind == "NamespaceDecl":
        for child in node.get("inner", []):
            collect(child, scope + [node.get("name", "(anonymous)")], "public", public, required, hidden)
    elif kind == "LinkageSpecDecl":
        for child in node.get("inner", []):
            collect(child, scope, access, public, required, hidden)
    elif kind == "CXXRecordDecl" and node.get("completeDefinition"):
        inner_access = "private" if node.get("tagUsed") == "class" else "public"
        inner_scope = scope + [node["name"]]
        for child in node.get("inner", []):
            if child.get("kind") == "AccessSpecDecl":
                inner_access = child["access"]
                continue
            collect(child, inner_scope, "public" if access == "public" and inner_access == "public" else "private",
                    public, required, hidden)
    elif kind in FUNCTIONS or kind == "VarDecl":
        name = "::".join(scope + [node["name"]])
        # A C function's symbol is its bare name, as the exported table shows it.
        if kind in FUNCTIONS and node.get("mangledName") != node["name"]:
            # Overloads, such as a deleted copy and a private constructor, differ in arity.
            name += "/%d" % sum(1 for c in node.get("inner", []) if c.get("kind") == "ParmVarDecl")
        if node.get("explicitlyDeleted"):
            return
        if access != "public":
            hidden.add(name)
            return
        public.add(name)
        defined_here = any(c.get("kind") == "CompoundStmt" for c in node.get("inner", []))
        if kind == "VarDecl":
            needs_symbol = node.get("storageClass") == "extern" or (
                len(scope) > 0 and node.get("storageClass") == "static" and not node.get("constexpr"))
        else:
            needs_symbol = not (defined_here or node.get("inline") or node.get("constexpr") or
                                node.get("explicitlyDefaulted"))
        if needs_symbol:
            required.add(name)


def exported_names(library):
    """Each exported name without its parameters, with the symbols that carry it."""
    lines = subprocess.run(["nm", "-D", "--defined-only", "--format=posix", library], capture_output=True,
                           text=True, check=True).stdout.splitlines()
    mangled = [line.split()[0] for line in lines if line.strip()]
    demangled = subprocess.run(["c++filt"], input="\n".join(mangled) + "\n", capture_output=True, text=True,
                               check=True).stdout.splitlines()
    names = {}
    for text in demangled:
        name = re.sub(r"\[abi:[^\]]*\]", "", text)
        if "(" in name and not name.startswith(("typeinfo", "vtable")):
            name = name[:name.index("(")].strip() + "/%d" % arity(name[name.index("("):])
        names.setdefault(name.strip(), []).append(text)
    return names


def arity(parameters):
    """The number of parameters in "(A, B<C, D>)", which qualifiers may follow."""
    if parameters.startswith("()"):
        return 0
    depth, count = 0, 1
    for ch in parameters:
        if ch in "(<":
            depth += 1
        elif ch in ")>":
            depth -= 1
            if depth == 0:
                return count
        elif depth == 1 and ch == ",":
            count += 1
    return count


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    library, includes = sys.argv[1], sys.argv[2:]
    public, required, hidden = set(), set(), set()
    for name_filter in ("lumvex", "LumvexSdkVersion"):
        # Each match is a whole declaration at the top: namespace lumvex, a C function, or a
        # version symbol.
        for tree in syntax_trees(includes, name_filter):
            collect(tree, [], "public", public, required, hidden)
    exported = exported_names(library)
    extra = sorted(name for name in exported if name not in public)
    missing = sorted(required - set(exported))
    for name in extra:
        why = "a private member" if name in hidden else "not declared in the public headers"
        print("exported but %s: %s" % (why, ", ".join(exported[name])))
    for name in missing:
        print("declared in the public headers but not exported: %s" % name)
    c_names = sorted(name for name in exported if name.startswith("lumvex_"))
    print("C interface (%d): %s" % (len(c_names), " ".join(c_names)))
    print("%d exported names, %d public declarations that need a symbol; %d extra, %d missing" %
          (len(exported), len(required), len(extra), len(missing)))
    return 1 if extra or missing else 0


if __name__ == "__main__":
    sys.exit(main())
