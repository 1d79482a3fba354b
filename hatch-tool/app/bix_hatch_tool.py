"""bix-hatch-tool's entry module: maps the command line to a stage, a job or the self-test.

    self-test                          codecs, packing and validation on built-in data
    prepare  --workspace W             validate pet.json and strips, plan up to ten jobs
    job      --workspace W --index N   extract and inspect one job's frames
    assemble --workspace W             atlas, atlas map, previews, contact sheet
    finalize --workspace W             the verified hand-off folder

Every refusal is one line on standard error and a non-zero exit status; nothing else is
written there.
"""

import os
import sys

import prepare_pet_run
from hatch_common import EXIT_IO, EXIT_OK, EXIT_SOFTWARE, EXIT_USAGE, HatchError

USAGE = ("usage: bix-hatch-tool self-test\n"
         "       bix-hatch-tool <prepare|assemble|finalize> --workspace <canonical-owner-only-directory>\n"
         "       bix-hatch-tool job --workspace <canonical-owner-only-directory> --index <0..9>\n")
STAGES = ("prepare", "assemble", "finalize")
MAX_MESSAGE_CHARACTERS = 300


def parse_arguments(arguments):
    """(mode, job index) for an accepted command line, else None."""
    if arguments == ["self-test"]:
        return "self-test", None
    if len(arguments) == 3 and arguments[0] in STAGES and arguments[1] == "--workspace":
        return arguments[0], None
    if (len(arguments) == 5 and arguments[0] == "job" and arguments[1] == "--workspace"
            and arguments[3] == "--index" and len(arguments[4]) == 1
            and arguments[4] in "0123456789"):
        return "job", int(arguments[4])
    return None


def run_self_test():
    import compose_atlas
    import extract_strip_frames
    import finalize_bix_handoff
    import inspect_frames
    import make_contact_sheet
    import render_animation_previews
    import validate_atlas

    failures = []
    passed = [0]

    def check(condition, label):
        if condition:
            passed[0] += 1
        else:
            failures.append(label)

    for module in (extract_strip_frames, inspect_frames, prepare_pet_run, compose_atlas,
                   validate_atlas, render_animation_previews, make_contact_sheet,
                   finalize_bix_handoff):
        module.self_test(check)
    if failures:
        raise HatchError(EXIT_SOFTWARE, "self-test failed: " + "; ".join(failures))
    print("self-test passed: %d checks" % passed[0])
    return EXIT_OK


def run(arguments):
    parsed = parse_arguments(arguments)
    if parsed is None:
        sys.stderr.write(USAGE)
        return EXIT_USAGE
    mode, index = parsed
    if mode == "self-test":
        return run_self_test()
    # The launcher has already proved the workspace is the current directory; the stages name
    # every file relative to it.
    if os.path.realpath(arguments[2]) != os.getcwd():
        raise HatchError(EXIT_USAGE, "current directory must exactly equal the workspace")
    if mode == "prepare":
        import extract_strip_frames
        return prepare_pet_run.run_prepare(extract_strip_frames.check_strip_png)
    if mode == "job":
        import extract_strip_frames
        return extract_strip_frames.run_job(index)
    if mode == "assemble":
        import compose_atlas
        return compose_atlas.run_assemble()
    import finalize_bix_handoff
    return finalize_bix_handoff.run_finalize()


def one_line(message):
    text = "".join(c if c.isprintable() else "?" for c in str(message))
    return text[:MAX_MESSAGE_CHARACTERS]


def main(argv):
    try:
        return run(list(argv[1:]))
    except HatchError as error:
        status, message = error.status, error.message
    except MemoryError:
        status, message = EXIT_SOFTWARE, "out of memory"
    except OSError as error:
        status, message = EXIT_IO, "I/O error: %s" % (os.strerror(error.errno)
                                                     if error.errno else "unknown")
    except Exception as error:
        status, message = EXIT_SOFTWARE, "internal error (%s)" % type(error).__name__
    sys.stderr.write("bix-hatch-tool: %s\n" % one_line(message))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
