// quorvanta.exe: the front end on Windows, headless for now.
int main() { return 1; }
