// Program entry; the flow arrives with the console driver.
int main() { return 0; }
