#!/usr/bin/python3
"""Bix GTK Chat: a small GTK 3 chat application the helper's accessibility tests drive.

One window with a transcript, a multi-line composer and Send, Stop and New conversation buttons.
Send moves the composer's text into the transcript and streams a deterministic answer into a new
assistant label, chunk by chunk, from a GLib timer. Every widget a profile names carries an ATK
accessible id; only the newest assistant label carries "assistant-message".

Signals drive the application's own changes for staleness tests: SIGUSR1 re-creates the composer,
SIGUSR2 closes the window while the application keeps running, SIGHUP moves the composer (the same
widget) into a second window, SIGTERM and SIGINT quit.

Everything the application shows its user is also written, one JSON object a line, to --log, so
tests can compare what the helper read with what was really on screen.
"""

import argparse
import json
import os
import signal
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gio, GLib, Gtk  # noqa: E402

TITLE = "Bix GTK Chat"


def answer_for(prompt, chunks):
    """The answer to a prompt, cut into exactly `chunks` non-empty pieces of about equal length."""
    text = f"Echo: {prompt} (an answer in {chunks} chunks)."
    while len(text) < 2 * chunks:
        text += " And it goes on, one chunk after another."
    cuts = [len(text) * i // chunks for i in range(chunks + 1)]
    return [text[start:end] for start, end in zip(cuts, cuts[1:])]


def set_id(widget, identifier):
    widget.get_accessible().set_accessible_id(identifier)


class ChatWindow:
    """The window and its conversation state; the one GLib main loop calls every method."""

    def __init__(self, app, options, log):
        self.options = options
        self.log = log
        self.streaming = None  # (label, remaining pieces, timer id) while an answer streams
        self.window = Gtk.ApplicationWindow(application=app, title=TITLE)
        # The size of the headless screen: without a window manager X gives the keyboard focus
        # to the window under the pointer, which then is the active (frontmost) one.
        self.window.set_default_size(1280, 800)
        set_id(self.window, "chat-window")

        outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
        set_id(outer, "chat-content")
        self.window.add(outer)

        header = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=6)
        set_id(header, "header-bar")
        self.new_button = Gtk.Button(label="New conversation")
        set_id(self.new_button, "new-conversation-button")
        self.new_button.connect("clicked", self.on_new_conversation)
        header.add(self.new_button)
        outer.add(header)

        scroller = Gtk.ScrolledWindow()
        scroller.set_vexpand(True)
        # Rows are added with Gtk.Container.add: only that emits children-changed for them.
        self.transcript = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
        set_id(self.transcript, "transcript")
        scroller.add(self.transcript)
        outer.add(scroller)

        self.composer_bar = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=6)
        set_id(self.composer_bar, "composer-bar")
        self.composer = None
        self.make_composer()
        self.send_button = Gtk.Button(label="Send")
        set_id(self.send_button, "send-button")
        self.send_button.connect("clicked", self.on_send)
        self.composer_bar.add(self.send_button)
        self.stop_button = Gtk.Button(label="Stop")
        set_id(self.stop_button, "stop-button")
        self.stop_button.connect("clicked", self.on_stop)
        self.composer_bar.add(self.stop_button)
        outer.add(self.composer_bar)

        self.window.connect("destroy", self.on_window_destroyed)
        self.set_idle(True)

    # --- composer -------------------------------------------------------------------------------
    def make_composer(self):
        """A new composer text view, first in the composer bar; destroys the old one."""
        if self.composer is not None:
            self.composer.destroy()
        self.composer = Gtk.TextView()
        self.composer.set_wrap_mode(Gtk.WrapMode.WORD_CHAR)
        self.composer.set_hexpand(True)
        set_id(self.composer, "composer")
        self.composer.get_accessible().set_name("Message")
        self.composer.get_buffer().connect(
            "changed", lambda _buffer: self.log.write("composer-changed", text=self.composer_text()))
        self.composer_bar.add(self.composer)
        self.composer_bar.reorder_child(self.composer, 0)
        self.composer.show()

    def composer_text(self):
        buffer = self.composer.get_buffer()
        return buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)

    # --- conversation ---------------------------------------------------------------------------
    def set_idle(self, idle):
        self.send_button.set_sensitive(idle)
        self.stop_button.set_sensitive(not idle)

    def add_row(self, text, identifier):
        label = Gtk.Label(label=text)
        label.set_xalign(0)
        label.set_line_wrap(True)
        set_id(label, identifier)
        self.transcript.add(label)
        label.show()
        return label

    def on_send(self, _button):
        prompt = self.composer_text()
        if not prompt or self.streaming is not None:
            return
        self.composer.get_buffer().set_text("")
        for row in self.transcript.get_children():
            if row.get_accessible().get_accessible_id() == "assistant-message":
                set_id(row, "assistant-message-previous")
        self.add_row(prompt, "user-message")
        label = self.add_row("", "assistant-message")
        pieces = answer_for(prompt, self.options.chunks)
        timer = GLib.timeout_add(self.options.chunk_ms, self.on_chunk)
        self.streaming = (label, pieces, timer)
        self.set_idle(False)
        self.log.write("submitted", prompt=prompt)

    def on_chunk(self):
        label, pieces, timer = self.streaming
        label.set_text(label.get_text() + pieces.pop(0))
        self.log.write("chunk", at=round(time.monotonic(), 3))
        if pieces:
            return GLib.SOURCE_CONTINUE
        self.finish_streaming("complete")
        return GLib.SOURCE_REMOVE

    def finish_streaming(self, event, cancel_timer=False):
        label, _pieces, timer = self.streaming
        if cancel_timer:
            GLib.source_remove(timer)
        self.streaming = None
        self.set_idle(True)
        self.log.write(event, text=label.get_text())

    def on_stop(self, _button):
        if self.streaming is not None:
            self.finish_streaming("stopped", cancel_timer=True)

    def on_new_conversation(self, _button):
        if self.streaming is not None:
            self.finish_streaming("stopped", cancel_timer=True)
        for row in self.transcript.get_children():
            row.destroy()
        self.log.write("new-conversation")

    def on_window_destroyed(self, _window):
        if self.streaming is not None:
            GLib.source_remove(self.streaming[2])
            self.streaming = None
        self.log.write("window-closed")


class EventLog:
    """One JSON object a line, flushed at once, so a test reads what happened so far."""

    def __init__(self, path):
        self.stream = open(path, "a", encoding="utf-8") if path else None

    def write(self, event, **fields):
        if self.stream:
            self.stream.write(json.dumps({"event": event, **fields}, ensure_ascii=False) + "\n")
            self.stream.flush()


def write_ready(path):
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write("ready\n")
    os.rename(temporary, path)


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app-id", default="org.bix.GtkChat")
    # About one and a half seconds of streaming: long enough that a host slowed down by
    # sanitizers still reads the empty answer as its baseline before the last chunk arrives.
    parser.add_argument("--chunks", type=int, default=8)
    parser.add_argument("--chunk-ms", type=int, default=200)
    parser.add_argument("--ready-file")
    parser.add_argument("--log")
    options = parser.parse_args(argv)
    if options.chunks < 1 or options.chunk_ms < 1:
        parser.error("--chunks and --chunk-ms must be positive")
    return options


def main(argv):
    options = parse_options(argv)
    log = EventLog(options.log)
    GLib.set_prgname("bix-gtk-chat")
    GLib.set_application_name(TITLE)
    # An empty --app-id runs without an application id and owns no name on the session bus.
    app = Gtk.Application(application_id=options.app_id or None,
                          flags=Gio.ApplicationFlags.FLAGS_NONE if options.app_id
                          else Gio.ApplicationFlags.NON_UNIQUE)
    state = {}

    def on_activate(application):
        if "chat" in state:  # a second launch only brings the window back to the front
            state["chat"].window.present()
            return
        chat = state["chat"] = ChatWindow(application, options, log)
        # The application outlives its window: closing the window is not quitting.
        application.hold()
        chat.window.show_all()
        if options.ready_file:
            GLib.idle_add(lambda: write_ready(options.ready_file) and False)
        log.write("ready", pid=os.getpid())

    def on_recreate_composer():
        chat = state.get("chat")
        if chat is not None and chat.window.get_realized():
            chat.make_composer()
            log.write("composer-recreated")
        return GLib.SOURCE_CONTINUE

    def on_move_composer():
        chat = state.get("chat")
        if chat is not None and chat.composer.get_parent() is chat.composer_bar:
            elsewhere = Gtk.Window(title="Scratch")
            app.add_window(elsewhere)
            chat.composer_bar.remove(chat.composer)
            elsewhere.add(chat.composer)
            elsewhere.show_all()
            state["scratch"] = elsewhere
            log.write("composer-moved")
        return GLib.SOURCE_CONTINUE

    def on_close_window():
        chat = state.get("chat")
        if chat is not None:
            chat.window.destroy()
        return GLib.SOURCE_CONTINUE

    def on_quit():
        app.quit()
        return GLib.SOURCE_CONTINUE

    app.connect("activate", on_activate)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGUSR1, on_recreate_composer)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGUSR2, on_close_window)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGHUP, on_move_composer)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, on_quit)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, on_quit)
    return app.run([sys.argv[0]])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
