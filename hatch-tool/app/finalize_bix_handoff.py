"""The finalize stage: the hand-off folder with its manifest, verified before it appears.

handoff/ holds the assembled files and manifest.json listing each with its size and SHA-256.
It is written under a temporary name, every file is read back and checked against the
manifest, and only then is it renamed into place (replacing an earlier hand-off).
"""

import os
import re

import compose_atlas
import extract_strip_frames as png
import render_animation_previews
from hatch_common import EXIT_NO_INPUT, EXIT_OK, EXIT_SOFTWARE, HatchError, data_error, sha256_hex
from prepare_pet_run import (ASSEMBLY_DIR, HANDOFF_DIR, MAX_DESCRIPTION_BYTES, MAX_TOTAL_PIXELS,
                             StagedDirectory, check_description_unchanged,
                             check_strips_unchanged, encode_json, load_plan, parse_strict_json,
                             read_input, read_json_input)

MANIFEST = "manifest.json"
MAX_FILE_BYTES = MAX_TOTAL_PIXELS * 8
ASSEMBLED_PATH = re.compile(r"(previews/)?[a-z0-9][a-z0-9_.-]{0,63}\.(png|json)")


def assembled_paths(pet):
    """Every file assemble writes for this pet, apart from its own record."""
    return ({compose_atlas.ATLAS_IMAGE, compose_atlas.ATLAS_MAP, compose_atlas.CONTACT_SHEET}
            | {render_animation_previews.preview_path(a["name"]) for a in pet["animations"]})


def _load_assembly(plan_digest, pet):
    try:
        record = read_json_input(ASSEMBLY_DIR + "/" + compose_atlas.ASSEMBLY_RECORD,
                                 MAX_DESCRIPTION_BYTES)
    except HatchError as error:
        if error.status == EXIT_NO_INPUT:
            raise HatchError(EXIT_NO_INPUT, "nothing assembled; run assemble first") from None
        raise
    if not isinstance(record, dict) or record.get("planSha256") != plan_digest:
        raise data_error("the assembly belongs to another plan; run assemble again")
    files = record.get("files")
    # Exactly the expected files: a record that lost an entry would give a partial hand-off.
    if not isinstance(files, dict) or set(files) != assembled_paths(pet) or not all(
            isinstance(p, str) and ASSEMBLED_PATH.fullmatch(p) for p in files):
        raise data_error("%s/%s is damaged; run assemble again"
                         % (ASSEMBLY_DIR, compose_atlas.ASSEMBLY_RECORD))
    contents = {}
    for path, digest in sorted(files.items()):
        data = read_input(ASSEMBLY_DIR + "/" + path, MAX_FILE_BYTES)
        if sha256_hex(data) != digest:
            raise data_error("%s/%s changed since assemble; run assemble again"
                             % (ASSEMBLY_DIR, path))
        contents[path] = data
    return contents


def build_manifest(pet_name, plan_digest, contents):
    return {"version": 1, "pet": pet_name, "planSha256": plan_digest,
            "files": [{"path": path, "bytes": len(data), "sha256": sha256_hex(data)}
                      for path, data in sorted(contents.items())]}


def _listed_files(directory):
    found = set()
    for parent, _, names in os.walk(directory):
        for name in names:
            found.add(os.path.relpath(os.path.join(parent, name), directory))
    return found


def verify_handoff(directory):
    """Refuses unless directory holds exactly the manifest's files with their digests and the
    atlas map describes the atlas image."""
    failed = lambda reason: HatchError(EXIT_SOFTWARE, "hand-off verification failed: " + reason)
    manifest = parse_strict_json(read_input(directory + "/" + MANIFEST, MAX_DESCRIPTION_BYTES),
                                 MANIFEST)
    listed = {entry["path"] for entry in manifest["files"]}
    if _listed_files(directory) != listed | {MANIFEST}:
        raise failed("files differ from the manifest")
    for entry in manifest["files"]:
        data = read_input(directory + "/" + entry["path"], MAX_FILE_BYTES)
        if len(data) != entry["bytes"] or sha256_hex(data) != entry["sha256"]:
            raise failed("%s differs from the manifest" % entry["path"])
    atlas_map = parse_strict_json(read_input(directory + "/" + compose_atlas.ATLAS_MAP,
                                             MAX_FILE_BYTES), compose_atlas.ATLAS_MAP)
    image = compose_atlas.ATLAS_IMAGE
    if not isinstance(atlas_map, dict) or atlas_map.get("image") != image:
        raise failed("the atlas map does not describe the atlas image")
    # Decoding the whole image (inflate, row filters, exact length) proves more than valid
    # chunk checksums: the hand-off must hold an atlas a reader can actually draw.
    try:
        atlas = png.decode_png(read_input(directory + "/" + image, MAX_FILE_BYTES), image)
    except HatchError as error:
        raise failed(error.message) from None
    if (atlas.width, atlas.height) != (atlas_map.get("width"), atlas_map.get("height")):
        raise failed("the atlas map does not describe the atlas image")
    return manifest


def run_finalize():
    plan, plan_digest, _ = load_plan()
    check_description_unchanged(plan)
    check_strips_unchanged(plan)
    contents = _load_assembly(plan_digest, plan["pet"])
    manifest = build_manifest(plan["pet"]["name"], plan_digest, contents)
    if os.path.islink(HANDOFF_DIR):
        raise data_error("%s: must not be a symbolic link" % HANDOFF_DIR)
    with StagedDirectory(HANDOFF_DIR) as staged:
        for path, data in sorted(contents.items()):
            staged.write(path, data)
        staged.write(MANIFEST, encode_json(manifest))
        verify_handoff(staged.path)
        staged.commit()
    print("hand-off ready: %s" % os.path.join(os.getcwd(), HANDOFF_DIR))
    return EXIT_OK


def self_test(check):
    contents = {"b.json": b"{}", "a.png": b"x"}
    manifest = build_manifest("t", "0" * 64, contents)
    check([f["path"] for f in manifest["files"]] == ["a.png", "b.json"]
          and manifest["files"][1]["sha256"] == sha256_hex(b"{}")
          and sha256_hex(b"abc") ==
          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
          "manifest digests")
    check(all(ASSEMBLED_PATH.fullmatch(p) for p in ("atlas.png", "previews/run-left.png"))
          and not any(ASSEMBLED_PATH.fullmatch(p) for p in ("../x.png", "/atlas.png",
                                                             "previews/../../x.png")),
          "assembled paths confined")
