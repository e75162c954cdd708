// A GTK 3 entry, through its C interface, that takes the input focus once shown (there is no window
// manager to give it) and prints "text " and its whole text on every change.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <cstdio>

static void printText(GtkEditable* entry) {
  std::printf("text %s\n", gtk_entry_get_text(GTK_ENTRY(entry)));
  std::fflush(stdout);
}

static gboolean takeFocus(GtkWidget* window) {
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  XSetInputFocus(GDK_WINDOW_XDISPLAY(gdkWindow), GDK_WINDOW_XID(gdkWindow), RevertToParent, CurrentTime);
  return FALSE;
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* entry = gtk_entry_new();
  gtk_container_add(GTK_CONTAINER(window), entry);
  g_signal_connect(entry, "changed", G_CALLBACK(printText), nullptr);
  g_signal_connect(window, "map-event", G_CALLBACK(takeFocus), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
